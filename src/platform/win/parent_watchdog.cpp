#include <windows.h>

#include "platform/process.h"

namespace nimbra::platform {

void wait_for_process_end(std::uint32_t process_id) {
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (parent == nullptr) return;  // gone, or not ours to watch: same as ended
  WaitForSingleObject(parent, INFINITE);
  CloseHandle(parent);
}

}  // namespace nimbra::platform
