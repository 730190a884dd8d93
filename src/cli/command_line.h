#pragma once
// The command line of both modes. Anything that does not match the grammar is
// refused as a whole (the program then ends with status 64 and no output).
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sys/bytes.h"

namespace nimbra {

struct SourceSpec {
  bool screen = true;         // "s:0": the primary monitor
  std::int64_t window = 0;    // "w:N": the window handle (X11: the window id)
  friend bool operator==(const SourceSpec&, const SourceSpec&) = default;
};

struct LowSettings {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t fps = 30;
  std::uint32_t bitrate = 1'000'000;
  friend bool operator==(const LowSettings&, const LowSettings&) = default;
};

struct CaptureSettings {
  SourceSpec source;
  std::uint32_t parent_pid = 0;
  bool audio = false;
  std::uint32_t fps = 30;
  std::uint32_t width = 1280;
  std::uint32_t height = 720;
  std::uint32_t bitrate = 2'500'000;
  std::optional<LowSettings> low;
  friend bool operator==(const CaptureSettings&, const CaptureSettings&) = default;
};

struct WatchRequest {
  Size size;
  std::optional<Size> second;
  friend bool operator==(const WatchRequest&, const WatchRequest&) = default;
};

struct Refused {
  friend bool operator==(const Refused&, const Refused&) = default;
};

using CommandLine = std::variant<Refused, CaptureSettings, WatchRequest>;

// Arguments without the program name, as UTF-8. A capture command line comes
// back with its effective settings already derived.
CommandLine parse_command_line(const std::vector<std::string>& args);

// Clamps and derives the effective settings (low layer only when strictly smaller).
CaptureSettings effective_settings(CaptureSettings settings);

}  // namespace nimbra
