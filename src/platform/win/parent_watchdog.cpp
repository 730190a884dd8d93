#include <windows.h>

#include <thread>

#include "platform/process.h"

namespace nimbra::platform {

void wait_for_process_end(std::uint32_t process_id) {
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (parent == nullptr) return;  // gone, or not ours to watch: same as ended
  WaitForSingleObject(parent, INFINITE);
  CloseHandle(parent);
}

void start_parent_watchdog(std::uint32_t parent_process_id) {
  std::thread([parent_process_id] {
    wait_for_process_end(parent_process_id);
    exit_process(0);
  }).detach();
}

}  // namespace nimbra::platform
