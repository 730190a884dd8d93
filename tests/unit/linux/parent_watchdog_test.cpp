#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/linux/process_wait.h"
#include "platform/process.h"

namespace nimbra::platform {
namespace {

using namespace std::chrono_literals;

// Runs `wait` on a detached thread, so that a wait that never returns fails
// the test instead of hanging it; true once it returned within `limit`.
std::function<bool(std::chrono::milliseconds)> start_waiting(std::function<void()> wait) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([wait = std::move(wait), done] { wait(), *done = true; }).detach();
  return [done](std::chrono::milliseconds limit) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !*done && std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(2ms);
    }
    return done->load();
  };
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
      auto done_within = start_waiting([wait, child] { wait(child); });
      EXPECT_FALSE(done_within(150ms)) << "returned while the process was alive";
      kill(child, SIGKILL);
      if (reap_first) waitpid(child, nullptr, 0);
      EXPECT_TRUE(done_within(1000ms)) << "did not notice the end within a second";
      if (!reap_first) waitpid(child, nullptr, 0);
    }
  }
}

TEST(ParentWatchdog, ProcessThatCannotBeWatchedCountsAsEnded) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  for (const std::uint32_t pid : {static_cast<std::uint32_t>(child), 0x7FFFFFF0u, 0xFFFFFFF0u}) {
    EXPECT_TRUE(start_waiting([pid] { wait_for_process_end(pid); })(500ms)) << pid;
  }
  EXPECT_TRUE(process_ended(child));
  EXPECT_FALSE(process_ended(getpid()));
}

}  // namespace
}  // namespace nimbra::platform
