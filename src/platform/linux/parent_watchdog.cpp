#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "platform/linux/process_wait.h"
#include "platform/process.h"

namespace nimbra::platform {
namespace {

int pidfd_open(pid_t process_id) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, process_id, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// The state letter of /proc/PID/stat, which follows the last ')'.
char process_state(pid_t process_id) {
  std::ifstream stat("/proc/" + std::to_string(process_id) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return '?';
  return text[close + 2];
}

}  // namespace

bool process_ended(pid_t process_id) {
  if (::kill(process_id, 0) != 0) return errno == ESRCH;  // EPERM: alive, just not ours
  const char state = process_state(process_id);
  return state == 'Z' || state == 'X';
}

void wait_by_polling(pid_t process_id, std::chrono::milliseconds interval) {
  while (!process_ended(process_id)) std::this_thread::sleep_for(interval);
}

void wait_for_process_end(std::uint32_t process_id) {
  if (process_id == 0 || process_id > INT_MAX) return;  // no process can have that id
  const auto id = static_cast<pid_t>(process_id);
  const int fd = pidfd_open(id);
  if (fd < 0) {
    if (errno == ESRCH || errno == EINVAL) return;
    wait_by_polling(id, std::chrono::milliseconds(100));  // ENOSYS, or out of descriptors
    return;
  }
  pollfd watch{.fd = fd, .events = POLLIN, .revents = 0};
  while (::poll(&watch, 1, -1) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace nimbra::platform
