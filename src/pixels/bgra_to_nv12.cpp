#include "pixels/bgra_to_nv12.h"

#include <cstdint>
#include <limits>

#include "pixels/bgra_to_nv12_rows.h"
#include "pixels/simd_level.h"

namespace nimbra {

std::size_t nv12_size(std::size_t width, std::size_t height) {
  const std::size_t chroma_row = (width + 1) / 2 * 2;
  return width * height + (height + 1) / 2 * chroma_row;
}

namespace {

bool fits(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12) {
  // Sizes whose byte counts would wrap are refused before they are multiplied.
  if (width == 0 || height == 0 || width > std::numeric_limits<std::size_t>::max() / 8 / height) return false;
  return bgra.size() >= width * height * 4 && nv12.size() >= nv12_size(width, height);
}

std::size_t scalar_rows(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::uint8_t*, std::uint8_t*,
                        std::size_t) {
  return 0;
}

detail::Nv12RowPair row_kernel() {
  switch (simd_level()) {
    case SimdLevel::avx2: return detail::bgra_to_nv12_rows_avx2;
    case SimdLevel::sse2: return detail::bgra_to_nv12_rows_sse2;
    case SimdLevel::scalar: break;
  }
  return scalar_rows;
}

}  // namespace

void bgra_to_nv12_reference(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12) {
  if (!fits(bgra, width, height, nv12)) return;
  for (std::size_t i = 0; i < width * height; ++i) {
    const int b = bgra[i * 4], g = bgra[i * 4 + 1], r = bgra[i * 4 + 2];
    nv12[i] = static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
  }
  const std::size_t chroma_row = (width + 1) / 2 * 2;
  std::uint8_t* uv = nv12.data() + width * height;
  for (std::size_t cy = 0; cy < (height + 1) / 2; ++cy) {
    const std::size_t r0 = 2 * cy, r1 = r0 + 1 < height ? r0 + 1 : height - 1;
    for (std::size_t cx = 0; cx < (width + 1) / 2; ++cx) {
      const std::size_t x0 = 2 * cx, x1 = x0 + 1 < width ? x0 + 1 : width - 1;
      int sum[3] = {0, 0, 0};
      for (std::size_t row : {r0, r1}) {
        for (std::size_t col : {x0, x1}) {
          for (int k = 0; k < 3; ++k) sum[k] += bgra[(row * width + col) * 4 + k];
        }
      }
      const int b = sum[0] >> 2, g = sum[1] >> 2, r = sum[2] >> 2;
      uv[cy * chroma_row + 2 * cx] = static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
      uv[cy * chroma_row + 2 * cx + 1] = static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
    }
  }
}

void bgra_to_nv12(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12) {
  if (!fits(bgra, width, height, nv12)) return;
  const detail::Nv12RowPair rows = row_kernel();
  const std::size_t chroma_row = (width + 1) / 2 * 2;
  const std::uint8_t* src = bgra.data();
  std::uint8_t* luma = nv12.data();
  std::uint8_t* chroma = luma + width * height;
  for (std::size_t r0 = 0; r0 < height; r0 += 2) {
    // An odd last row pairs with itself and writes its luma twice, to the same place.
    const std::size_t r1 = r0 + 1 < height ? r0 + 1 : r0;
    const std::uint8_t* a = src + r0 * width * 4;
    const std::uint8_t* b = src + r1 * width * 4;
    std::uint8_t* y0 = luma + r0 * width;
    std::uint8_t* y1 = luma + r1 * width;
    std::uint8_t* uv = chroma + r0 / 2 * chroma_row;
    std::size_t x = rows(a, b, y0, y1, uv, width);
    for (; x < width; x += 2) {
      const std::size_t x1 = x + 1 < width ? x + 1 : x;
      y0[x] = detail::luma_of(a + x * 4);
      y1[x] = detail::luma_of(b + x * 4);
      y0[x1] = detail::luma_of(a + x1 * 4);
      y1[x1] = detail::luma_of(b + x1 * 4);
      detail::chroma_of(a + x * 4, a + x1 * 4, b + x * 4, b + x1 * 4, uv + x);
    }
  }
}

}  // namespace nimbra
