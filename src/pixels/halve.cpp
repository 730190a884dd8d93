#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

template <HalveRow simd>
std::size_t halve_row_any(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                          std::size_t dst_width, int bias) {
  const std::size_t done = simd(upper, lower, out, dst_width, bias);
  return done + halve_row_c(upper + done * 8, lower + done * 8, out + done * 4, dst_width - done, bias);
}

}  // namespace

std::size_t halve_row_c(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                        std::size_t dst_width, int bias) {
  for (std::size_t x = 0; x < dst_width; ++x) {
    for (std::size_t k = 0; k < 3; ++k) {
      const std::size_t i = x * 8 + k;
      out[x * 4 + k] = static_cast<std::uint8_t>((upper[i] + upper[i + 4] + lower[i] + lower[i + 4] + bias) >> 2);
    }
    out[x * 4 + 3] = 255;
  }
  return dst_width;
}

HalveRow halve_row_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return halve_row_any<halve_row_avx2>;
    case SimdLevel::ssse3: return halve_row_any<halve_row_ssse3>;
    case SimdLevel::sse2: return halve_row_any<halve_row_sse2>;
    case SimdLevel::scalar: break;
  }
  return halve_row_c;
}

void halve_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height, std::uint8_t* dst,
                int bias) {
  const HalveRow row = halve_row_for(simd_level());
  const std::size_t src_row = std::size_t{dst_width} * 8, dst_row = std::size_t{dst_width} * 4;
  for (std::size_t y = 0; y < dst_height; ++y) {
    const std::uint8_t* upper = src + 2 * y * src_row;
    row(upper, upper + src_row, dst + y * dst_row, dst_width, bias);
  }
}

}  // namespace nimbra::detail
