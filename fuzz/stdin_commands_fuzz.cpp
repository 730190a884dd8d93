// The host's command channel: whatever arrives, the reader ends exactly once,
// with status 0, having read the input to its end, and says at most one line.
#include <algorithm>
#include <string_view>

#include "capture/stdin_commands.h"
#include "fuzz_support.h"

using namespace nimbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView all(data, size);
  const std::size_t cut = std::min<std::size_t>(size, 4);
  fuzz::PieceInput input(all.subspan(cut), all.first(cut));
  int exits = 0, status = -1, lines = 0;
  ControlFlags flags;
  const StdinPort port{
      .read = [&](MutableBytes buffer) { return input.read(buffer); },
      .exit = [&](int code) { ++exits, status = code; },
      .diagnostic =
          [&](std::string_view line) {
            ++lines;
            FUZZ_CHECK(line.starts_with("[capture] ") && line.find('\n') == std::string_view::npos);
          },
  };
  run_stdin_commands(flags, port);
  FUZZ_CHECK(exits == 1 && status == 0 && lines <= 1 && input.drained());
  return 0;
}
