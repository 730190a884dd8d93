#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace nimbra::platform {

void prepare_std_streams() { std::signal(SIGPIPE, SIG_IGN); }

// X11 needs neither: its pixels are physical and sleeps are fine-grained.
void prepare_capture() {}

[[noreturn]] void exit_process(int status) { _exit(status); }

Result<std::size_t> read_stdin(MutableBytes buffer) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(std::strerror(errno));
  }
}

Status write_stdout(ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(std::strerror(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

void write_stderr_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

bool env_present(const char* name) { return std::getenv(name) != nullptr; }

std::string error_text(std::uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", code);
  const char* message = code <= 4095 ? std::strerror(static_cast<int>(code)) : nullptr;
  if (message == nullptr || *message == '\0') return hex;
  return std::string(message) + " (" + hex + ")";
}

}  // namespace nimbra::platform
