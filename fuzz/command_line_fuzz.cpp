// The command line, its arguments separated by zero bytes: whatever is
// accepted lies within the documented ranges and is already effective.
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "fuzz_support.h"

using namespace nimbra;

namespace {

bool within(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) { return v >= lo && v <= hi; }

void check(const CaptureSettings& s) {
  FUZZ_CHECK(s.parent_pid != 0 && (s.source.screen || s.source.window != 0));
  FUZZ_CHECK(within(s.fps, 1, 60) && within(s.bitrate, 200'000, 8'000'000));
  FUZZ_CHECK(within(s.width, 160, 1920) && within(s.height, 90, 1080) && s.width % 2 == 0 && s.height % 2 == 0);
  if (s.low) {
    FUZZ_CHECK(within(s.low->width, 160, s.width - 1) && within(s.low->height, 90, s.height - 1));
    FUZZ_CHECK(s.low->width % 2 == 0 && s.low->height % 2 == 0);
    FUZZ_CHECK(within(s.low->fps, 1, s.fps) && within(s.low->bitrate, 200'000, 8'000'000));
  }
  FUZZ_CHECK(effective_settings(s) == s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  const CommandLine line = parse_command_line(args);
  if (const auto* settings = std::get_if<CaptureSettings>(&line)) check(*settings);
  if (const auto* watch = std::get_if<WatchRequest>(&line); watch && watch->second) {
    const Size second = *watch->second;
    FUZZ_CHECK(within(second.width, 2, 1920) && within(second.height, 2, 1080));
    FUZZ_CHECK(second.width % 2 == 0 && second.height % 2 == 0);
  }
  return 0;
}
