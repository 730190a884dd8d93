// The mixer in virtual time: priming, drift control, clamping, silence, cool-downs, the plan, pacing, start-up.
#include "audio/app_mixer.h"

#include <gtest/gtest.h>

#include <regex>

#include "fakes/fake_audio.h"

namespace nimbra::audio {
namespace {

using testing::pcm;
using Strings = std::vector<std::string>;
using Samples = std::vector<std::int16_t>;

// Frames `first`... of the test signal: the two samples of a frame tell it, each channel tells neighbours apart,
// and the mean of two neighbours (odd on the left) is no frame.
Samples ramp(std::size_t first, std::size_t count) {
  Samples samples;
  for (std::size_t f = first; f < first + count; ++f) {
    samples.insert(samples.end(), {std::int16_t(100 + 2 * (f % 15000)), std::int16_t(-100 - 3 * (f % 10000))});
  }
  return samples;
}

// The platform, the scan thread (played by the test) and the host around one mixer.
struct MixRig : testing::FakeAudio {
  std::unique_ptr<AudioPlatform> ports = platform();
  std::vector<Bytes> chunks;
  Sender<ScanResult> plans;
  Status scan_thread = {};
  AppMixer mixer{0, MixerPorts{clock, *ports, diagnostic(),
                               [this](std::uint8_t kind, ByteView payload) {  // statuses go with the calls
                                 if (kind == 4) chunks.emplace_back(payload.begin(), payload.end());
                                 else events.emplace_back(payload.begin(), payload.end());
                               },
                               [this](std::vector<std::uint32_t>, Sender<ScanResult> s) {
                                 events.push_back("scan thread");
                                 plans = std::move(s);
                                 return scan_thread;
                               }}};

  // Sixty applications from pid 10 on; the first `sessions` of them play.
  explicit MixRig(std::uint32_t sessions = 1) {
    for (std::uint32_t pid = 10; pid < 70; ++pid) table[pid] = {"app" + std::to_string(pid), 1};
    for (std::uint32_t pid = 10; pid < 10 + sessions; ++pid) owners.push_back(pid);
  }
  void start() { ASSERT_TRUE(mixer.start().has_value()); }
  void run_for(Duration d) {
    for (const Instant end = clock.now() + d; clock.now() < end;) mixer.pass();
  }
  // Gives pid 10 `frames(k)` more of the signal 1 ms before each tick k.
  void feed(std::size_t ticks, const std::function<std::size_t(std::size_t)>& frames) {
    for (std::size_t k = 0, next = 0; k < ticks; next += frames(k++)) {
      clock.at(clock.now() + (k + 1) * 20ms - 1ms, [this, next, n = frames(k)] { client(10).frames(ramp(next, n)); });
    }
  }
  // How each chunk ended: '=' 960 frames of the signal taken, '+' 961 (the
  // last two averaged), '-' 959 (frame 958 again); '?' anything else.
  std::string paths(std::size_t next) const {
    std::string out;
    for (const Bytes& chunk : chunks) {
      const Samples signal = ramp(next, 961);
      Samples same(signal.begin(), signal.begin() + 1920), more = same, less = same;
      for (std::size_t c : {0, 1}) {
        more[1918 + c] = std::int16_t((signal[1918 + c] + signal[1920 + c]) / 2);
        less[1918 + c] = signal[1916 + c];
      }
      out += chunk == pcm(same) ? '=' : chunk == pcm(more) ? '+' : chunk == pcm(less) ? '-' : '?';
      next += out.back() == '+' ? 961 : out.back() == '-' ? 959 : 960;
    }
    return out;
  }
};

TEST(AppMixer, PrimesAt40MsTrimsAt200MsAndTakesAFrameMoreOrLessToHoldTheBacklog) {
  // Frames fed before tick k, ticks, the first frame sent, the chunks' paths.
  const std::tuple<std::function<std::size_t(std::size_t)>, std::size_t, std::size_t, const char*> cases[] = {
      {[](std::size_t) { return 1919; }, 1, 0, "^$"},
      {[](std::size_t) { return 1920; }, 1, 0, "^=$"},
      {[](std::size_t) { return 9600; }, 1, 0, "^\\+$"},
      {[](std::size_t) { return 9601; }, 1, 9601 - 1920, "^=$"},
      {[](std::size_t k) { return k == 0 ? 1920 : k == 1 ? 0 : 960; }, 4, 0, "^={4}$"},  // just enough is no underrun
      {[](std::size_t k) { return k == 0 ? 2900 : 960; }, 60, 0, "^\\+{37}=+$"},
      {[](std::size_t k) { return k == 0 ? 1920 : k < 92 ? 950 : 960; }, 130, 0, "^={91}-+$"},
  };
  for (const auto& [frames, ticks, first, want] : cases) {
    MixRig rig;
    rig.start();
    rig.feed(ticks, frames);
    rig.run_for(ticks * 20ms);
    EXPECT_TRUE(std::regex_search(rig.paths(first), std::regex(want))) << want << " " << rig.paths(first);
  }
  MixRig rig;  // a silent packet stands for that many zero frames; an underrun sends the whole frames there are
  rig.start();
  rig.client(10).packets.emplace_back(Bytes{}, 959);
  Samples fed = ramp(0, 1461);
  fed.push_back(7);  // half a frame
  rig.client(10).packets.emplace_back(pcm(fed), 1461);
  rig.run_for(60ms);
  Samples first(1918, 0), last = ramp(961, 500);
  first.insert(first.end(), {100, -100});  // frame 0
  last.resize(1920);
  EXPECT_EQ(rig.chunks, (std::vector<Bytes>{pcm(first), pcm(ramp(1, 960)), pcm(last)}));
}

TEST(AppMixer, ClampsTheSumAndSendsNothingForSilence) {
  // Every sample of the two clients: every output sample, 0 for no chunk at all.
  for (auto [left, right, want] : {std::tuple{30000, 30000, 32767}, {-30000, -30000, -32768}, {2, 2, 0}, {-2, -3, -5}}) {
    MixRig rig(2);
    rig.start();
    rig.client(10).frames(Samples(3840, std::int16_t(left)));
    rig.client(11).frames(Samples(3840, std::int16_t(right)));
    rig.run_for(20ms);
    EXPECT_EQ(rig.chunks, std::vector<Bytes>(want != 0, pcm(Samples(1920, std::int16_t(want)))));
  }
}

TEST(AppMixer, CoolsDownTenSecondsAfterAFailedOpenAndTwoAfterAFailedDrain) {
  MixRig rig(2);
  rig.refused[11] = "нет клиента";
  rig.start();
  rig.client(10).fail_drain = "поток оборван";
  rig.events.clear();
  for (auto [run, events] : {std::pair{1900ms, Strings{"[audio] app10 (10): поток оборван"}}, {1200ms, {"open 10"}},
                             {6800ms, {}}, {1100ms, {"open 11", "[audio] app11 (11): нет клиента"}}}) {
    rig.run_for(run);
    EXPECT_EQ(rig.events, events) << run.count();
    rig.events.clear();
  }
  EXPECT_EQ(rig.waited_for, 1u);  // app10 again
}

TEST(AppMixer, FollowsThePlanUpToFortyEightClients) {
  MixRig rig(50);
  rig.start();
  EXPECT_EQ(rig.mixer.client_count(), 48u);
  EXPECT_EQ(rig.events.back(), "open 57");
  rig.plans.try_send(ScanResult{{{12, "app12"}, {60, "app60"}}});
  rig.run_for(5ms);
  EXPECT_EQ(rig.mixer.client_count(), 2u);
  EXPECT_EQ(rig.events.back(), "open 60");
}

TEST(AppMixer, CatchesUpAtMost200MillisecondsAfterAStall) {
  for (auto [stall, ticks] : {std::pair{100ms, 5u}, {300ms, 1u}}) {
    MixRig rig;
    rig.start();
    rig.feed(100, [](std::size_t) { return 960; });
    rig.run_for(500ms);
    const std::size_t before = rig.chunks.size();
    rig.clock.advance(stall);  // the thread was held up
    rig.mixer.pass();
    EXPECT_EQ(rig.chunks.size() - before, ticks) << stall.count();
  }
}

TEST(AppMixer, StartsInOrderOrFailsWithTheFirstError) {
  MixRig rig;
  rig.start();
  EXPECT_EQ(rig.events, (Strings{"open 7", "table", "owners", "scan thread", R"({"audio":"ok"})", "open 10"}));
  const std::pair<std::function<void(MixRig&)>, const char*> cases[] = {
      {[](MixRig& r) { r.refused[7] = "нет loopback"; }, "нет loopback"},
      {[](MixRig& r) { r.owners_error = "сессии недоступны"; }, "сессии недоступны"},
      {[](MixRig& r) { r.scan_thread = fail("EAGAIN"); }, "поток обзора: EAGAIN"},
  };
  for (const auto& [breaks, error] : cases) {
    MixRig broken;
    breaks(broken);
    EXPECT_EQ(broken.mixer.start(), fail(error));
  }
}

}  // namespace
}  // namespace nimbra::audio
