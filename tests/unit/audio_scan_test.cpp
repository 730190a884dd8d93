// The scan thread's loop, one pass at a time in virtual time.
#include "audio/session_scan.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/fake_audio.h"

namespace nimbra::audio {
namespace {

using Plans = std::vector<std::vector<std::uint32_t>>;

struct ScanRig {
  testing::FakeAudio fake;
  std::unique_ptr<AudioPlatform> platform = fake.platform();
  Channel<ScanResult> channel = make_unbounded_channel<ScanResult>();
  SessionScanLoop loop{0, ScanPorts{fake.clock, *platform, fake.diagnostic()},
                       std::move(channel.sender), {10}};  // the mixer's first plan
  Plans received() {
    Plans out;
    while (auto r = channel.receiver.try_receive()) out.push_back(planned_pids(*r));
    return out;
  }
};

TEST(SessionScan, SendsOnlyChangedPlansStartingFromTheMixersOwn) {
  ScanRig rig;
  rig.fake.table = {{1, {"init", 0}}, {10, {"game", 1}}, {11, {"player", 1}}};
  for (const std::vector<std::uint32_t>& owners : Plans{{10}, {11, 10}, {11, 10}, {}}) {
    rig.fake.owners = owners;
    rig.fake.table[10].name += "!";  // names alone are no change
    EXPECT_TRUE(rig.loop.pass());
  }
  EXPECT_EQ(rig.received(), (Plans{{10, 11}, {}}));
  rig.channel.receiver = {};  // the mixer is gone
  rig.fake.owners = {11};
  EXPECT_FALSE(rig.loop.pass());
}

TEST(SessionScan, PacesBurstsAndRegistersAgainEveryTenSeconds) {
  ScanRig rig;
  rig.fake.waits = {SessionWait::NewSession, SessionWait::Gone};  // then time-outs
  const auto count = [&](const char* event) { return std::ranges::count(rig.fake.events, event); };
  for (int pass = 0; pass < 20; ++pass) rig.loop.pass();
  EXPECT_EQ(count("register"), 1);
  rig.loop.pass();  // at 10.02 s
  EXPECT_EQ(count("register"), 2);
  EXPECT_EQ(count("discard"), 1);
  std::vector<Duration> sleeps(21, 500ms);
  sleeps[0] = 20ms;
  EXPECT_EQ(rig.fake.clock.sleeps, sleeps);
}

TEST(SessionScan, LogsTheFirstFailureAndEvery120thUntilASuccess) {
  ScanRig rig;
  std::vector<int> logged;
  for (int pass = 1; pass <= 242; ++pass) {
    rig.fake.owners_error = pass == 241 ? std::nullopt : std::optional<std::string>("сбой");
    rig.fake.events.clear();
    rig.loop.pass();
    if (std::ranges::count(rig.fake.events, "[audio] обзор сессий: сбой")) logged.push_back(pass);
  }
  EXPECT_EQ(logged, (std::vector<int>{1, 120, 240, 242}));
}

}  // namespace
}  // namespace nimbra::audio
