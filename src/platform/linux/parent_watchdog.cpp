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

int pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// The state letter of /proc/PID/stat, which follows the last ')'.
char process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return '?';
  return text[close + 2];
}

}  // namespace

bool process_ended(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;  // EPERM: alive, just not ours
  const char state = process_state(pid);
  return state == 'Z' || state == 'X';
}

void wait_by_polling(pid_t pid, std::chrono::milliseconds interval) {
  while (!process_ended(pid)) std::this_thread::sleep_for(interval);
}

void wait_for_process_end(std::uint32_t pid) {
  if (pid == 0 || pid > INT_MAX) return;  // no process can have that id
  const auto id = static_cast<pid_t>(pid);
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

void start_parent_watchdog(std::uint32_t parent_pid) {
  std::thread([parent_pid] {
    wait_for_process_end(parent_pid);
    exit_process(0);
  }).detach();
}

}  // namespace nimbra::platform
