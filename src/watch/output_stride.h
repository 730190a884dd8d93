#pragma once
// The row stride of a decoded NV12 picture, from what the decoder reports.
#include <cstdint>
#include <optional>

namespace nimbra {

inline constexpr std::uint32_t kMaxStride = 8192;

// The reported stride (read as unsigned, so a bottom-up negative one is
// huge) is used only when it is plausible; otherwise rows are assumed to be
// exactly the display width.
constexpr std::uint32_t output_stride(std::optional<std::uint32_t> reported, std::uint32_t display_width) {
  if (reported && *reported <= kMaxStride && *reported >= display_width) return *reported;
  return display_width;
}

}  // namespace nimbra
