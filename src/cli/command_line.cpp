#include "cli/command_line.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include "cli/number_syntax.h"

namespace nimbra {
namespace {

bool in_range(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) { return v >= lo && v <= hi; }
bool even(std::uint32_t v) { return v % 2 == 0; }

// "s:0", or "w:" and a non-zero signed handle.
std::optional<SourceSpec> parse_source(std::string_view text) {
  if (text == "s:0") return SourceSpec{};
  if (!text.starts_with("w:")) return std::nullopt;
  const auto handle = parse_signed64(text.substr(2));
  if (!handle || *handle == 0) return std::nullopt;
  return SourceSpec{.screen = false, .window = *handle};
}

std::optional<Size> parse_low_size(std::string_view text) {
  const auto x = text.find('x');
  if (x == std::string_view::npos) return std::nullopt;
  const auto w = parse_unsigned32(trim_white_space(text.substr(0, x)));
  const auto h = parse_unsigned32(trim_white_space(text.substr(x + 1)));
  if (!w || !h) return std::nullopt;
  if (!in_range(*w, 160, 3840) || !even(*w) || !in_range(*h, 90, 2160) || !even(*h)) return std::nullopt;
  return Size{*w, *h};
}

// An unsigned value that must lie in lo..=hi (and be even when asked).
std::optional<std::uint32_t> bounded(std::string_view text, std::uint32_t lo, std::uint32_t hi,
                                     bool must_be_even = false) {
  const auto v = parse_unsigned32(text);
  if (!v || !in_range(*v, lo, hi) || (must_be_even && !even(*v))) return std::nullopt;
  return v;
}

CommandLine parse_watch(const std::vector<std::string>& args) {
  if (args.size() != 3 && args.size() != 5) return Refused{};
  const auto w = parse_unsigned32(args[1]);
  const auto h = parse_unsigned32(args[2]);
  if (!w || !h) return Refused{};
  WatchRequest request{.size = {*w, *h}, .second = std::nullopt};
  if (args.size() == 5) {
    const auto w2 = bounded(args[3], 2, 1920, true);
    const auto h2 = bounded(args[4], 2, 1080, true);
    if (!w2 || !h2) return Refused{};
    request.second = Size{*w2, *h2};
  }
  return request;
}

CommandLine parse_capture(const std::vector<std::string>& args) {
  CaptureSettings settings;
  bool have_source = false;
  std::optional<Size> low_size;
  LowSettings low;  // fps and bitrate may come without "--low" and are then ignored

  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return Refused{};
    const std::string_view option = args[i];
    const std::string_view value = args[i + 1];
    if (option == "--source") {
      const auto source = parse_source(value);
      if (!source) return Refused{};
      settings.source = *source;
      have_source = true;
    } else if (option == "--parent") {
      const auto pid = bounded(value, 1, std::numeric_limits<std::uint32_t>::max());
      if (!pid) return Refused{};
      settings.parent_pid = *pid;
    } else if (option == "--audio") {
      if (value != "1") return Refused{};
      settings.audio = true;
    } else if (option == "--fps") {
      const auto fps = bounded(value, 1, 60);
      if (!fps) return Refused{};
      settings.fps = *fps;
    } else if (option == "--width") {
      const auto width = bounded(value, 160, 1920, true);
      if (!width) return Refused{};
      settings.width = *width;
    } else if (option == "--height") {
      const auto height = bounded(value, 90, 1080, true);
      if (!height) return Refused{};
      settings.height = *height;
    } else if (option == "--bitrate") {
      const auto bitrate = bounded(value, 200'000, 8'000'000);
      if (!bitrate) return Refused{};
      settings.bitrate = *bitrate;
    } else if (option == "--low") {
      low_size = parse_low_size(value);
      if (!low_size) return Refused{};
    } else if (option == "--low-fps") {
      const auto fps = bounded(value, 1, 60);
      if (!fps) return Refused{};
      low.fps = *fps;
    } else if (option == "--low-bitrate") {
      const auto bitrate = bounded(value, 200'000, 8'000'000);
      if (!bitrate) return Refused{};
      low.bitrate = *bitrate;
    } else {
      return Refused{};
    }
  }
  if (!have_source || settings.parent_pid == 0) return Refused{};
  if (low_size) {
    low.width = low_size->width;
    low.height = low_size->height;
    settings.low = low;
  }
  return effective_settings(settings);
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "--watch") return parse_watch(args);
  return parse_capture(args);
}

CaptureSettings effective_settings(CaptureSettings s) {
  const auto down_to_even = [](std::uint32_t v) { return v & ~std::uint32_t{1}; };
  s.fps = std::clamp<std::uint32_t>(s.fps, 1, 60);
  s.width = down_to_even(std::min<std::uint32_t>(s.width, 3840));
  s.height = down_to_even(std::min<std::uint32_t>(s.height, 2160));
  if (!s.low) return s;

  LowSettings& low = *s.low;
  low.width = down_to_even(std::clamp<std::uint32_t>(low.width, 160, 3840));
  low.height = down_to_even(std::clamp<std::uint32_t>(low.height, 90, 2160));
  if (low.width >= s.width || low.height >= s.height) {
    s.low.reset();
    return s;
  }
  low.fps = std::max<std::uint32_t>(std::min(low.fps, s.fps), 1);
  low.bitrate = std::clamp<std::uint32_t>(low.bitrate, 200'000, 8'000'000);
  return s;
}

}  // namespace nimbra
