#include "pixels/bgra_to_nv12.h"

#include <algorithm>
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

std::uint8_t luma_of(const std::uint8_t* bgra) {
  return static_cast<std::uint8_t>(((66 * bgra[2] + 129 * bgra[1] + 25 * bgra[0] + 128) >> 8) + 16);
}

// a0, a1 from the upper row, b0, b1 from the lower one.
void chroma_of(const std::uint8_t* a0, const std::uint8_t* a1, const std::uint8_t* b0, const std::uint8_t* b1,
               std::uint8_t* uv) {
  const int b = (a0[0] + a1[0] + b0[0] + b1[0]) >> 2;
  const int g = (a0[1] + a1[1] + b0[1] + b1[1]) >> 2;
  const int r = (a0[2] + a1[2] + b0[2] + b1[2]) >> 2;
  uv[0] = static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
  uv[1] = static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

template <detail::Nv12RowPair simd>
std::size_t rows_any(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0, std::uint8_t* luma1,
                     std::uint8_t* chroma, std::size_t width) {
  const std::size_t x = simd(row0, row1, luma0, luma1, chroma, width);
  return x + detail::bgra_to_nv12_rows_c(row0 + x * 4, row1 + x * 4, luma0 + x, luma1 + x, chroma + x, width - x);
}

}  // namespace

namespace detail {

std::size_t bgra_to_nv12_rows_c(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width) {
  for (std::size_t x = 0; x < width; x += 2) {
    // An odd last pixel pairs with itself.
    const std::size_t x1 = x + 1 < width ? x + 1 : x;
    luma0[x] = luma_of(row0 + x * 4);
    luma1[x] = luma_of(row1 + x * 4);
    luma0[x1] = luma_of(row0 + x1 * 4);
    luma1[x1] = luma_of(row1 + x1 * 4);
    chroma_of(row0 + x * 4, row0 + x1 * 4, row1 + x * 4, row1 + x1 * 4, chroma + x);
  }
  return width;
}

Nv12RowPair bgra_to_nv12_rows_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return rows_any<bgra_to_nv12_rows_avx2>;
    case SimdLevel::ssse3: return rows_any<bgra_to_nv12_rows_ssse3>;
    case SimdLevel::sse2: return rows_any<bgra_to_nv12_rows_sse2>;
    case SimdLevel::scalar: break;
  }
  return bgra_to_nv12_rows_c;
}

}  // namespace detail

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

void bgra_to_nv12(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12, RowSpan rows) {
  if (!fits(bgra, width, height, nv12)) return;
  const detail::Nv12RowPair pair = detail::bgra_to_nv12_rows_for(simd_level());
  const std::size_t chroma_row = (width + 1) / 2 * 2;
  const std::uint8_t* src = bgra.data();
  std::uint8_t* luma = nv12.data();
  std::uint8_t* chroma = luma + width * height;
  const std::size_t end = std::min<std::size_t>(rows.end, height);
  for (std::size_t r0 = rows.first / 2 * 2; r0 < end; r0 += 2) {
    // An odd last row pairs with itself and writes its luma twice, to the same place.
    const std::size_t r1 = r0 + 1 < height ? r0 + 1 : r0;
    const std::uint8_t* a = src + r0 * width * 4;
    const std::uint8_t* b = src + r1 * width * 4;
    std::uint8_t* y0 = luma + r0 * width;
    std::uint8_t* y1 = luma + r1 * width;
    std::uint8_t* uv = chroma + r0 / 2 * chroma_row;
    pair(a, b, y0, y1, uv, width);
  }
}

}  // namespace nimbra
