#include <windows.h>

#include <thread>

#include "platform/process.h"

namespace nimbra::platform {

void wait_for_process_end(std::uint32_t pid) {
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (parent == nullptr) return;  // gone, or not ours to watch: same as ended
  WaitForSingleObject(parent, INFINITE);
  CloseHandle(parent);
}

void start_parent_watchdog(std::uint32_t parent_pid) {
  std::thread([parent_pid] {
    wait_for_process_end(parent_pid);
    exit_process(0);
  }).detach();
}

}  // namespace nimbra::platform
