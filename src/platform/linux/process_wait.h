#pragma once
#include <chrono>
#include <sys/types.h>

namespace nimbra::platform {

// For kernels without pidfd_open: looks every `interval` whether the process
// still runs. A zombie has ended, even if nobody has reaped it yet.
void wait_by_polling(pid_t process_id, std::chrono::milliseconds interval);

// Whether the process is gone or a zombie.
bool process_ended(pid_t process_id);

}  // namespace nimbra::platform
