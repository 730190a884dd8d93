// The mixer in virtual time: priming, drift control, clamping, silence,
// cool-downs, pacing, and the audio thread's start-up and status.
#include "audio/app_mixer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "audio/audio_thread.h"
#include "fakes/fake_audio.h"
#include "memory_streams.h"

namespace nimbra::audio {
namespace {

using testing::FakeAudio;

// Frame i of the test signal; its two samples together tell i, and the
// average of two neighbours (odd on the left) is none of them.
std::int16_t ramp(std::size_t frame, std::size_t channel) {
  return static_cast<std::int16_t>(100 + (channel == 0 ? 2 * (frame % 15000) : frame / 15000));
}
std::vector<std::int16_t> ramp_frames(std::size_t first, std::size_t count) {
  std::vector<std::int16_t> samples;
  for (std::size_t f = first; f < first + count; ++f) samples.insert(samples.end(), {ramp(f, 0), ramp(f, 1)});
  return samples;
}
Bytes pcm(const std::vector<std::int16_t>& samples) {
  Bytes bytes(samples.size() * 2);
  if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}
std::int16_t sample_at(const Bytes& chunk, std::size_t frame, std::size_t channel) {
  const std::size_t at = (frame * 2 + channel) * 2;
  return static_cast<std::int16_t>(chunk[at] | chunk[at + 1] << 8);
}

struct MixRig {
  FakeAudio fake;
  std::unique_ptr<AudioPlatform> platform = fake.platform(7);
  std::vector<std::string> lines;
  std::vector<testing::Message> sent;
  Sender<ScanResult> plans;  // the test plays the scan thread
  Status scan_thread = {};
  AppMixer mixer{0, MixerPorts{fake.clock, *platform, [this](std::string_view l) { lines.emplace_back(l); },
                               [this](std::uint8_t kind, ByteView payload) {
                                 fake.events.push_back("sink " + std::to_string(kind));
                                 sent.push_back({kind, Bytes(payload.begin(), payload.end())});
                               },
                               [this](std::vector<std::uint32_t>, Sender<ScanResult> s) {
                                 fake.events.push_back("scan thread");
                                 plans = std::move(s);
                                 return scan_thread;
                               }}};

  explicit MixRig(std::vector<std::uint32_t> owners = {10}) {
    for (std::uint32_t pid = 10; pid < 70; ++pid) fake.table[pid] = {"app" + std::to_string(pid), 1};
    fake.owners = std::move(owners);
  }
  void start() { ASSERT_TRUE(mixer.start().has_value()); }
  void run_for(Duration d) {
    const Instant end = fake.clock.now() + d;
    while (fake.clock.now() < end) mixer.pass();
  }
  // Feeds pid 10 `frames_per_tick(k)` ramp frames 1 ms before each tick k.
  void feed(std::size_t ticks, const std::function<std::size_t(std::size_t)>& frames_per_tick) {
    const Instant t0 = fake.clock.now();
    std::size_t next = 0;
    for (std::size_t k = 0; k < ticks; ++k) {
      const std::size_t n = frames_per_tick(k);
      fake.clock.at(t0 + (k + 1) * 20ms - 1ms, [this, next, n] { fake.client(10).frames(ramp_frames(next, n)); });
      next += n;
    }
  }
  std::vector<Bytes> chunks() const {
    std::vector<Bytes> out;
    for (const auto& m : sent) {
      if (m.kind == 4) out.push_back(m.payload);
    }
    return out;
  }
  // How each chunk ended: '=' 960 frames taken, '+' 961 (the last two
  // averaged), '-' 959 (frame 958 repeated). Fails on any gap or other frame.
  std::string paths(std::size_t next = 0) const {
    std::string out;
    for (const Bytes& chunk : chunks()) {
      const Bytes body = pcm(ramp_frames(next, 959));
      const Bytes last(chunk.end() - 4, chunk.end());
      auto frame = [](auto value) { return pcm({std::int16_t(value(0)), std::int16_t(value(1))}); };
      const std::tuple<char, std::size_t, Bytes> endings[] = {
          {'=', 960, frame([&](int c) { return ramp(next + 959, c); })},
          {'+', 961, frame([&](int c) { return (ramp(next + 959, c) + ramp(next + 960, c)) / 2; })},
          {'-', 959, frame([&](int c) { return ramp(next + 958, c); })}};
      const auto ending = std::ranges::find(endings, last, [](const auto& e) { return std::get<2>(e); });
      if (!std::equal(body.begin(), body.end(), chunk.begin()) || ending == std::end(endings)) {
        ADD_FAILURE() << "chunk " << out.size() << " is not the signal's next frames";
        return out;
      }
      out += std::get<0>(*ending);
      next += std::get<1>(*ending);
    }
    return out;
  }
};

TEST(AppMixer, PrimesAtFortyMillisecondsAndTrimsAt200) {
  // Frames waiting at the first tick: the chunk it sends, from which frame.
  for (auto [frames, want, first] : {std::tuple{1919u, "", 0u}, {1920u, "=", 0u}, {9600u, "+", 0u},
                                     {9601u, "=", 9601u - 1920u}}) {
    MixRig rig;
    rig.start();
    rig.fake.client(10).frames(ramp_frames(0, frames));
    rig.run_for(20ms);
    EXPECT_EQ(rig.paths(first), want) << frames;
  }
}

TEST(AppMixer, TakesOneFrameMoreOrLessToHoldTheBacklog) {
  struct Case {
    const char* what;
    std::function<std::size_t(std::size_t)> frames_per_tick;
    std::size_t ticks;
    const char* want;
  } cases[] = {
      {"steady: sample-exact copy", [](std::size_t k) { return k == 0 ? 0 : 960; }, 60, "^=+$"},
      {"backlog above 2880 frames", [](std::size_t k) { return k == 0 ? 2900 : 960; }, 60, "^\\+{37}=+$"},
      {"backlog sinking below 1200 frames", [](std::size_t k) { return k == 0 ? 1920 : k < 92 ? 950 : 960; }, 130,
       "^={91}-+$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MixRig rig;
    rig.start();
    rig.feed(c.ticks, c.frames_per_tick);
    rig.run_for(c.ticks * 20ms);
    EXPECT_TRUE(std::regex_search(rig.paths(), std::regex(c.want))) << rig.paths();
  }
}

TEST(AppMixer, ClampsAndSendsNothingForSilence) {
  // Every sample of the two clients: every output sample, or no chunk at all.
  for (auto [left, right, want] : {std::tuple{30000, 30000, 32767}, {-30000, -30000, -32768}, {2, 2, 0}, {-2, -3, -5}}) {
    MixRig rig({10, 11});
    rig.start();
    rig.fake.client(10).frames(std::vector<std::int16_t>(3840, std::int16_t(left)));
    rig.fake.client(11).frames(std::vector<std::int16_t>(3840, std::int16_t(right)));
    rig.run_for(20ms);
    ASSERT_EQ(rig.chunks().size(), want == 0 ? 0u : 1u) << left;
    if (want == 0) continue;
    EXPECT_EQ(rig.chunks()[0], pcm(std::vector<std::int16_t>(1920, std::int16_t(want))));
  }
  MixRig rig;  // a silent packet stands for that many frames of zeros
  rig.start();
  rig.fake.client(10).packets.emplace_back(Bytes{}, 959);
  rig.fake.client(10).frames(ramp_frames(0, 961));
  rig.run_for(20ms);
  ASSERT_EQ(rig.chunks().size(), 1u);
  EXPECT_EQ(sample_at(rig.chunks()[0], 958, 0), 0);
  EXPECT_EQ(sample_at(rig.chunks()[0], 959, 0), ramp(0, 0));
}

TEST(AppMixer, CoolsDownTenSecondsAfterAFailedOpenAndTwoAfterAFailedDrain) {
  MixRig rig({10, 11});
  rig.fake.refused = {11};
  rig.start();
  rig.fake.client(10).fail_drain = "поток оборван";
  rig.run_for(1900ms);
  EXPECT_EQ(rig.lines, (std::vector<std::string>{"[audio] app11 (11): нет клиента", "[audio] app10 (10): поток оборван"}));
  EXPECT_TRUE(rig.fake.client(10).closed);
  EXPECT_EQ(rig.fake.opened, (std::vector<std::uint32_t>{7, 10, 11}));
  rig.run_for(1200ms);
  EXPECT_EQ(rig.fake.opened, (std::vector<std::uint32_t>{7, 10, 11, 10}));
  rig.run_for(6800ms);
  EXPECT_EQ(rig.fake.opened.size(), 4u);
  rig.run_for(1100ms);
  EXPECT_EQ(rig.fake.opened.back(), 11u);
}

TEST(AppMixer, FollowsThePlanUpToFortyEightClients) {
  std::vector<std::uint32_t> owners;
  for (std::uint32_t pid = 10; pid < 60; ++pid) owners.push_back(pid);
  MixRig rig(owners);
  rig.start();
  EXPECT_EQ(rig.mixer.client_count(), 48u);
  EXPECT_EQ(rig.fake.opened.back(), 57u);
  rig.plans.try_send(ScanResult{{{12, "app12"}, {60, "app60"}}});
  rig.run_for(5ms);
  EXPECT_EQ(rig.mixer.client_count(), 2u);
  EXPECT_TRUE(rig.fake.client(10).closed);
  EXPECT_EQ(rig.fake.opened.back(), 60u);
}

TEST(AppMixer, CatchesUpAtMost200MillisecondsAfterAStall) {
  for (auto [stall, ticks] : {std::pair{100ms, 5u}, {300ms, 1u}}) {
    MixRig rig;
    rig.start();
    rig.feed(100, [](std::size_t) { return 960; });
    rig.run_for(500ms);
    const std::size_t before = rig.chunks().size();
    rig.fake.stall = stall;
    rig.mixer.pass();
    EXPECT_EQ(rig.chunks().size() - before, ticks) << stall.count();
  }
}

TEST(AppMixer, StartsInOrderAndReportsOneEscapedError) {
  MixRig rig;
  rig.start();
  EXPECT_EQ(rig.fake.events, (std::vector<std::string>{"open 7", "table", "owners", "scan thread", "sink 1", "open 10"}));
  EXPECT_EQ(rig.sent[0].text(), R"({"audio":"ok"})");

  MixRig no_thread;
  no_thread.scan_thread = fail("EAGAIN");
  EXPECT_EQ(no_thread.mixer.start(), fail("поток обзора: EAGAIN"));

  struct Case {
    std::function<void(FakeAudio&)> breaks;
    const char* want;
  } cases[] = {
      {[](FakeAudio& f) { f.refuse_all = R"(нет "loopback" \ тут)"; },
       R"({"audio_err":"Звук приложений недоступен: нет \"loopback\" \\ тут"})"},
      {[](FakeAudio& f) { f.table.clear(); }, R"({"audio_err":"Звук приложений недоступен: снимок процессов пуст"})"},
      {[](FakeAudio& f) { f.owners_error = "сессии устройств вывода недоступны"; },
       R"({"audio_err":"Звук приложений недоступен: сессии устройств вывода недоступны"})"},
  };
  for (const Case& c : cases) {
    FakeAudio fake;
    c.breaks(fake);
    std::vector<testing::Message> sent;
    audio_thread_main({0, [&](std::uint8_t kind, ByteView p) { sent.push_back({kind, Bytes(p.begin(), p.end())}); },
                       fake.platform(), &fake.clock, [](std::string_view) {}});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, 1);
    EXPECT_EQ(sent[0].text(), c.want);
  }
}

}  // namespace
}  // namespace nimbra::audio
