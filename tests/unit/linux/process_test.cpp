#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "platform/linux/proc_process_table.h"
#include "platform/linux/process_wait.h"
#include "platform/process.h"

namespace nimbra::platform {
namespace {

using namespace std::chrono_literals;

// Runs `wait` on a detached thread, so that a wait that never returns fails the test instead of hanging it.
std::future<void> start_waiting(std::function<void()> wait) {
  std::promise<void> done;
  std::future<void> ended = done.get_future();
  std::thread([wait = std::move(wait), done = std::move(done)]() mutable { wait(), done.set_value(); }).detach();
  return ended;
}

TEST(ParentWatchdog, PidfdAndPollingWaitsEndWithTheProcessReapedOrNot) {
  const std::function<void(pid_t)> waits[] = {
      [](pid_t pid) { wait_for_process_end(static_cast<std::uint32_t>(pid)); },
      [](pid_t pid) { wait_by_polling(pid, 100ms); }};
  for (const auto& wait : waits) {
    for (bool reap_first : {false, true}) {
      const pid_t child = fork();
      if (child == 0) {
        for (;;) pause();
      }
      ASSERT_GT(child, 0);
      std::future<void> ended = start_waiting([wait, child] { wait(child); });
      EXPECT_EQ(ended.wait_for(150ms), std::future_status::timeout) << "returned while the process was alive";
      kill(child, SIGKILL);
      if (reap_first) waitpid(child, nullptr, 0);
      EXPECT_EQ(ended.wait_for(1s), std::future_status::ready) << "did not notice the end within a second";
      if (!reap_first) waitpid(child, nullptr, 0);
    }
  }
}

// Ids no process can have are the session process test's.
TEST(ParentWatchdog, ProcessThatCannotBeWatchedCountsAsEnded) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  const auto pid = static_cast<std::uint32_t>(child);
  EXPECT_EQ(start_waiting([pid] { wait_for_process_end(pid); }).wait_for(500ms), std::future_status::ready);
  EXPECT_TRUE(process_ended(child));
  EXPECT_FALSE(process_ended(getpid()));
}

// Process names and parents as the audio scan sees them.
TEST(ProcProcessTable, HoldsThisProcessByLowerCasedExecutableNameAndParent) {
  EXPECT_EQ(lower_case_utf8("ПЛЕЕР.EXE"), "плеер.exe");
  EXPECT_EQ(lower_case_utf8("Ab\xff\xc3"), "ab\xEF\xBF\xBD\xEF\xBF\xBD");  // bad bytes replaced
  const audio::ProcessTable table = read_proc_process_table();
  const auto self = table.find(static_cast<std::uint32_t>(::getpid()));
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->second.name, "nimbra_unit_tests");
  EXPECT_EQ(self->second.parent_pid, static_cast<std::uint32_t>(::getppid()));
}

}  // namespace
}  // namespace nimbra::platform
