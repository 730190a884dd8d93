#include "app/program.h"

#include <variant>

#include "app/modes.h"
#include "cli/command_line.h"
#include "platform/process.h"

namespace nimbra {

int run_program(const std::vector<std::string>& args) {
  const CommandLine command_line = parse_command_line(args);
  if (std::holds_alternative<Refused>(command_line)) return 64;  // before any byte or thread
  platform::prepare_std_streams();
  if (const auto* request = std::get_if<WatchRequest>(&command_line)) return run_watch(*request);
  run_capture(std::get<CaptureSettings>(command_line));
}

}  // namespace nimbra
