#include "capture/stdin_commands.h"

#include <array>
#include <string>
#include <thread>

namespace nimbra {
namespace {

// False at end of input or on a read error: both end the session alike,
// a record cut short included.
bool read_exactly(const StdinPort& port, MutableBytes out) {
  while (!out.empty()) {
    const auto got = port.read(out);
    if (!got || *got == 0) return false;
    out = out.subspan(*got);
  }
  return true;
}

void drain(const StdinPort& port, std::uint32_t length) {
  port.diagnostic("[capture] stdin: кривая длина команды " + std::to_string(length) + " — команды отключены");
  std::array<std::uint8_t, 4096> sink;
  for (;;) {
    const auto got = port.read(sink);
    if (!got || *got == 0) return;
  }
}

}  // namespace

void apply_command(ControlFlags& flags, std::uint8_t code) {
  switch (code) {
    case kRequestMainKey:
      flags.main_key_request.exchange(true);
      break;
    case kLowOn:
      flags.low_enabled.exchange(true);
      flags.low_key_request.exchange(true);
      break;
    case kLowOff:
      flags.low_enabled.exchange(false);
      break;
    case kRequestLowKey:
      flags.low_key_request.exchange(true);
      break;
    default:
      break;
  }
}

void run_stdin_commands(ControlFlags& flags, const StdinPort& port) {
  std::array<std::uint8_t, 4> header;
  std::array<std::uint8_t, kMaxCommandLength> payload;
  for (;;) {
    if (!read_exactly(port, header)) break;
    const std::uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t{header[3]} << 24;
    if (length == 0) continue;
    if (length > kMaxCommandLength) {
      drain(port, length);
      break;
    }
    if (!read_exactly(port, MutableBytes(payload.data(), length))) break;
    apply_command(flags, payload[0]);
  }
  port.exit(0);
}

void start_stdin_reader(ControlFlags& flags, StdinPort port) {
  std::thread([&flags, port = std::move(port)] { run_stdin_commands(flags, port); }).detach();
}

}  // namespace nimbra
