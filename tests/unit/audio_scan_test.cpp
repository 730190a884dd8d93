// Which session owners become capture targets, and the scan thread's loop one pass at a time in virtual time.
#include "audio/session_scan.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio/app_scan.h"
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

using Pids = std::vector<std::uint32_t>;

// explorer → host → {game, web view, updater, this helper}; a sibling
// application; routers; a browser whose children own the sessions.
const ProcessTable kDesktop = {
    {1, {"init", 0}},         {100, {"explorer", 1}},         {200, {"nimbra-app", 100}},   {201, {"game", 200}},
    {202, {"msedgewebview2", 200}}, {203, {"nimbra-updater", 200}}, {300, {"nimbra-capture", 200}},
    {400, {"nimbra-vesper", 100}},  {401, {"helper", 400}},         {500, {"obs64", 100}},  {501, {"obsidian", 100}},
    {502, {"voicemeeterpro", 100}}, {503, {"game2", 502}},          {600, {"chrome", 100}}, {601, {"chrome", 600}},
    {602, {"chrome", 600}},   {603, {"chrome", 601}},         {604, {"audiodg", 1}},        {700, {"loop", 701}},
    {701, {"loop", 700}},     {800, {"orphan", 999}},         {150, {"explorer", 100}}};

// The planned pids (their names show in the mixer's diagnostics); this helper is pid 300.
Pids plan(const ProcessTable& table, const Pids& owners, std::uint32_t host_pid) {
  return planned_pids(scan_audio_apps(table, owners, host_pid, 300).value());
}

TEST(ScanAudioApps, ExclusionRules) {
  struct Case {
    const char* what;
    Pids owners, planned;
    std::uint32_t host_pid = 200;
  } cases[] = {
      {"kept: a program the host started, obsidian (no router), no climb to a parent holding the host",
       {201, 501, 150}, {150, 201, 501}},
      {"left out: the host's web view and helpers, the shell holding the host, the sibling's tree, routers",
       {202, 203, 200, 300, 100, 401, 400, 500, 502, 503, 604}, {}},
      {"browser children climb to the top process, planned once", {603, 602, 601}, {600}},
      {"vanished owner and a parent missing from the table", {999, 800}, {800}},
      {"cyclic parents: captured once", {701, 700}, {700}},
      {"host pid 0: only this process and the sibling are the host's", {100, 200, 201, 202, 300, 401}, {201, 202}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(plan(kDesktop, c.owners, c.host_pid), c.planned) << c.what;
}

TEST(ScanAudioApps, RefusesAnEmptyTableAndBoundsItsWalks) {
  EXPECT_EQ(scan_audio_apps({}, Pids{1}, 0, 2), fail("снимок процессов пуст"));
  ProcessTable table;
  for (std::uint32_t pid = 1; pid <= 100; ++pid) table[pid] = {"deep", pid - 1};  // a chain of one name
  EXPECT_EQ(plan(table, {100}, 0), Pids{84});  // sixteen levels up at most
  for (std::uint32_t pid = 1000; pid < 6000; ++pid) table[pid] = {"leaf", 1};
  EXPECT_EQ(collect_tree(1, children_map(table)).size(), 4097u);  // the walk stops once past 4096
}

TEST(ScanAudioApps, NamesLoseOneExeSuffix) {
  for (auto [file, name] : {std::pair{"player.exe", "player"}, {"a.exe.exe", "a.exe"}, {".exe", ""}, {"exe", "exe"}}) {
    EXPECT_EQ(normalise_process_name(file), name);
  }
}

}  // namespace
}  // namespace nimbra::audio
