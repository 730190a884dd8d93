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
#include "sys/process.h"

namespace nimbra::platform {
namespace {

using namespace std::chrono_literals;

// Runs `wait` on a detached thread, so that a wait that never returns fails
// the test instead of hanging it.
class Waiter {
 public:
  explicit Waiter(std::function<void()> wait) : done_(std::make_shared<std::atomic<bool>>(false)) {
    std::thread([wait = std::move(wait), done = done_] {
      wait();
      *done = true;
    }).detach();
  }
  bool done_within(std::chrono::milliseconds limit) const {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!*done_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(2ms);
    return *done_;
  }

 private:
  std::shared_ptr<std::atomic<bool>> done_;
};

pid_t sleeping_child() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

void expect_returns_when_child_dies(std::function<void(pid_t)> wait, bool reap_first) {
  const pid_t child = sleeping_child();
  ASSERT_GT(child, 0);
  Waiter waiter([wait, child] { wait(child); });
  EXPECT_FALSE(waiter.done_within(150ms)) << "returned while the process was alive";
  kill(child, SIGKILL);
  if (reap_first) waitpid(child, nullptr, 0);
  EXPECT_TRUE(waiter.done_within(1000ms)) << "did not notice the end within a second";
  if (!reap_first) waitpid(child, nullptr, 0);
}

TEST(ParentWatchdog, PidfdWaitEndsWithTheProcess) {
  expect_returns_when_child_dies([](pid_t pid) { wait_for_process_end(static_cast<std::uint32_t>(pid)); }, false);
  expect_returns_when_child_dies([](pid_t pid) { wait_for_process_end(static_cast<std::uint32_t>(pid)); }, true);
}

TEST(ParentWatchdog, PollingWaitEndsWithTheProcessEvenUnreaped) {
  expect_returns_when_child_dies([](pid_t pid) { wait_by_polling(pid, 100ms); }, false);
  expect_returns_when_child_dies([](pid_t pid) { wait_by_polling(pid, 100ms); }, true);
}

TEST(ParentWatchdog, ProcessThatCannotBeWatchedCountsAsEnded) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  for (const std::uint32_t pid : {static_cast<std::uint32_t>(child), 0x7FFFFFF0u, 0xFFFFFFF0u}) {
    Waiter waiter([pid] { wait_for_process_end(pid); });
    EXPECT_TRUE(waiter.done_within(500ms)) << pid;
  }
  EXPECT_TRUE(process_ended(child));
  EXPECT_FALSE(process_ended(getpid()));
}

}  // namespace
}  // namespace nimbra::platform
