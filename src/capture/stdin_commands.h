#pragma once
// The host's command channel on standard input. The same reader ends the
// process when the host closes the channel.
#include <cstdint>
#include <functional>
#include <string_view>

#include "capture/control_flags.h"
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

inline constexpr std::uint32_t kMaxCommandLength = 1024;

enum CommandCode : std::uint8_t {
  kRequestMainKey = 10,
  kLowOn = 11,
  kLowOff = 12,
  kRequestLowKey = 13,
};

// What the reader touches outside itself; the program passes the platform's
// standard input, process exit and standard error.
struct StdinPort {
  std::function<Result<std::size_t>(MutableBytes)> read;  // 0 bytes: end of input
  std::function<void(int)> exit;                            // does not return in the program
  std::function<void(std::string_view)> diagnostic;         // one line, without line feed
};

void apply_command(ControlFlags& flags, std::uint8_t code);

// Reads commands until input ends or fails, then calls exit(0). A length
// above kMaxCommandLength is reported once; the rest of the input is drained.
void run_stdin_commands(ControlFlags& flags, const StdinPort& port);

// The same loop on a detached thread of its own.
void start_stdin_reader(ControlFlags& flags, StdinPort port);

}  // namespace nimbra
