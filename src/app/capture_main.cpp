#include <memory>

#include "app/modes.h"
#include "app/stdout_stream.h"
#include "capture/control_flags.h"
#include "capture/stdin_commands.h"
#include "sys/process.h"
#include "wire/handshake.h"
#include "wire/message_writer.h"

namespace nimbra {
namespace {

constexpr const char* kNotInThisBuild = "нет в этой сборке";

// Ends the session the way one does whose every backend failed to open.
[[noreturn]] void no_capture_backend(const SourceSpec& source) {
  const std::string why = kNotInThisBuild;
  if (source.screen) {
    platform::write_stderr_line("[capture] дубликация недоступна (" + why + ") — GDI-фолбэк");
    platform::write_stderr_line("[capture] GDI тоже: " + why);
  } else {
    platform::write_stderr_line("[capture] WGC недоступен (" + why + ") — PrintWindow-фолбэк");
    platform::write_stderr_line("[capture] окно: " + why);
  }
  platform::exit_process(3);
}

}  // namespace

void run_capture(const CaptureSettings& settings) {
  // Both live until the process ends; threads that outlive this frame use them.
  static auto* const flags = new ControlFlags;
  static auto* const out = new StdoutStream;

  platform::start_parent_watchdog(settings.parent_pid);
  // Before the handshake: a host that closes stdin ends us at any point.
  start_stdin_reader(*flags, StdinPort{
                                 .read = platform::read_stdin,
                                 .exit = [](int status) { platform::exit_process(status); },
                                 .diagnostic = platform::write_stderr_line,
                             });
  const auto writer = std::make_shared<MessageWriter>(*out);
  send_handshake(*writer, settings);
  no_capture_backend(settings.source);
}

}  // namespace nimbra
