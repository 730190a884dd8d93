#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "sys/process.h"

namespace nimbra::platform {
namespace {

using namespace std::chrono_literals;

bool done_within(const std::atomic<bool>& done, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(2ms);
  return done;
}

std::shared_ptr<std::atomic<bool>> wait_detached(std::uint32_t pid) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([pid, done] {
    wait_for_process_end(pid);
    *done = true;
  }).detach();
  return done;
}

TEST(ParentWatchdog, WaitEndsWithTheProcess) {
  // A suspended copy of this program stands in for the host: it lives until killed.
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                             &startup, &child));
  auto done = wait_detached(child.dwProcessId);
  EXPECT_FALSE(done_within(*done, 200ms)) << "returned while the process was alive";
  TerminateProcess(child.hProcess, 7);
  EXPECT_TRUE(done_within(*done, 1000ms)) << "did not notice the end within a second";
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
}

TEST(ParentWatchdog, ProcessThatCannotBeOpenedCountsAsEnded) {
  auto done = wait_detached(0xFFFFFFF0u);
  EXPECT_TRUE(done_within(*done, 1000ms));
}

}  // namespace
}  // namespace nimbra::platform
