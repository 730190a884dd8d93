#include "pixels/area_scale_rows.h"
#include "pixels/simd_level.h"

namespace nimbra::detail {
namespace {

std::size_t no_simd(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t, int) { return 0; }

}  // namespace

void halve_bgra(const std::uint8_t* src, std::uint32_t tw, std::uint32_t th, std::uint8_t* dst, int bias) {
  const HalveRow row = simd_level() == SimdLevel::avx2   ? halve_row_avx2
                       : simd_level() == SimdLevel::sse2 ? halve_row_sse2
                                                         : no_simd;
  const std::size_t src_row = std::size_t{tw} * 8, dst_row = std::size_t{tw} * 4;
  for (std::size_t y = 0; y < th; ++y) {
    const std::uint8_t* a = src + 2 * y * src_row;
    const std::uint8_t* b = a + src_row;
    std::uint8_t* out = dst + y * dst_row;
    for (std::size_t x = row(a, b, out, tw, bias); x < tw; ++x) {
      for (std::size_t k = 0; k < 3; ++k) {
        const std::size_t i = x * 8 + k;
        out[x * 4 + k] = static_cast<std::uint8_t>((a[i] + a[i + 4] + b[i] + b[i + 4] + bias) >> 2);
      }
      out[x * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra::detail
