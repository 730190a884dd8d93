// The scan thread's loop, one pass at a time in virtual time.
#include "audio/session_scan.h"

#include <gtest/gtest.h>

#include "fakes/fake_audio.h"

namespace nimbra::audio {
namespace {

using testing::FakeAudio;

struct ScanRig {
  FakeAudio fake;
  std::unique_ptr<AudioPlatform> platform = fake.platform(7);
  std::vector<std::string> lines;
  Channel<ScanResult> channel = make_unbounded_channel<ScanResult>();
  std::optional<SessionScanLoop> loop;

  explicit ScanRig(std::vector<std::uint32_t> sent = {}) {
    fake.table = {{1, {"init", 0}}, {10, {"game", 1}}, {11, {"player", 1}}};
    loop.emplace(0, ScanPorts{fake.clock, *platform, [this](std::string_view l) { lines.emplace_back(l); }},
                 std::move(channel.sender), std::move(sent));
  }
  std::vector<std::vector<std::uint32_t>> received() {
    std::vector<std::vector<std::uint32_t>> out;
    while (auto r = channel.receiver.try_receive()) out.push_back(planned_pids(*r));
    return out;
  }
};

TEST(SessionScan, SendsOnlyChangedPlansStartingFromTheMixersOwn) {
  ScanRig rig({10});
  rig.fake.owners = {10};
  EXPECT_TRUE(rig.loop->pass());
  rig.fake.table[10].name = "renamed";  // names alone are no change
  EXPECT_TRUE(rig.loop->pass());
  rig.fake.owners = {11, 10};
  EXPECT_TRUE(rig.loop->pass());
  rig.fake.owners = {};
  EXPECT_TRUE(rig.loop->pass());
  EXPECT_EQ(rig.received(), (std::vector<std::vector<std::uint32_t>>{{10, 11}, {}}));
  rig.fake.owners = {11};
  rig.channel.receiver = {};  // the mixer is gone
  EXPECT_FALSE(rig.loop->pass());
}

TEST(SessionScan, PacesBurstsAndRegistersAgainEveryTenSeconds) {
  ScanRig rig;
  const Instant t0 = rig.fake.clock.now();
  rig.fake.waits = {SessionWait::NewSession, SessionWait::Gone};
  rig.loop->pass();
  EXPECT_EQ(rig.fake.clock.now() - t0, 20ms);
  EXPECT_EQ(rig.fake.discards, 1);
  rig.loop->pass();
  EXPECT_EQ(rig.fake.clock.now() - t0, 520ms);
  EXPECT_EQ(rig.fake.registrations, 1);
  while (rig.fake.clock.now() - t0 < 10s) rig.loop->pass();  // time-outs: 500 ms each
  EXPECT_EQ(rig.fake.registrations, 2);
  EXPECT_EQ(rig.fake.clock.now() - t0, 10020ms);
  EXPECT_EQ(std::count(rig.fake.events.begin(), rig.fake.events.end(), "table"), 2 + 19);
}

TEST(SessionScan, LogsTheFirstFailureAndEvery120th) {
  ScanRig rig;
  rig.fake.owners_error = "EnumAudioEndpoints: сбой";
  for (int i = 0; i < 240; ++i) rig.loop->pass();
  EXPECT_EQ(rig.lines, std::vector<std::string>(3, "[audio] обзор сессий: EnumAudioEndpoints: сбой"));
  rig.fake.owners_error.reset();
  rig.loop->pass();  // a success resets the count
  rig.fake.table.clear();
  rig.loop->pass();
  EXPECT_EQ(rig.lines.size(), 4u);
  EXPECT_EQ(rig.lines.back(), "[audio] обзор сессий: снимок процессов пуст");
}

}  // namespace
}  // namespace nimbra::audio
