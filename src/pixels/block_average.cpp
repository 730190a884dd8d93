#include "pixels/block_average.h"

#include <emmintrin.h>

#include <cstddef>

namespace nimbra::detail {
namespace {

// Adds one source row to the running 16-bit column sums.
void add_row(const std::uint8_t* row, std::size_t bytes, std::uint16_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t i = 0;
  for (; i + 16 <= bytes; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    auto* s = reinterpret_cast<__m128i*>(sums + i);
    _mm_storeu_si128(s, _mm_add_epi16(_mm_loadu_si128(s), _mm_unpacklo_epi8(v, zero)));
    _mm_storeu_si128(s + 1, _mm_add_epi16(_mm_loadu_si128(s + 1), _mm_unpackhi_epi8(v, zero)));
  }
  for (; i < bytes; ++i) sums[i] = static_cast<std::uint16_t>(sums[i] + row[i]);
}

}  // namespace

void block_average(const std::uint8_t* src, std::uint32_t k, std::uint32_t tw, std::uint32_t th,
                   std::uint8_t* dst, bool round_half_up, std::uint16_t* column_sums) {
  const std::uint32_t area = k * k, bias = round_half_up ? area / 2 : 0;
  // floor(n / area) = (n * m) >> 32 with m = ceil(2^32 / area): exact while
  // n * area < 2^32, and n < 2^16, area <= 225 here.
  const std::uint64_t magic = ((std::uint64_t{1} << 32) + area - 1) / area;
  const std::size_t row_bytes = std::size_t{tw} * k * 4;
  for (std::size_t ty = 0; ty < th; ++ty) {
    const std::uint8_t* rows = src + ty * k * row_bytes;
    for (std::size_t i = 0; i < row_bytes; ++i) column_sums[i] = 0;
    for (std::size_t r = 0; r < k; ++r) add_row(rows + r * row_bytes, row_bytes, column_sums);
    std::uint8_t* out = dst + ty * std::size_t{tw} * 4;
    const std::uint16_t* s = column_sums;
    for (std::size_t tx = 0; tx < tw; ++tx, s += std::size_t{k} * 4) {
      std::uint32_t b = bias, g = bias, r = bias;
      for (std::size_t j = 0; j < k; ++j) {
        b += s[j * 4];
        g += s[j * 4 + 1];
        r += s[j * 4 + 2];
      }
      out[tx * 4] = static_cast<std::uint8_t>((b * magic) >> 32);
      out[tx * 4 + 1] = static_cast<std::uint8_t>((g * magic) >> 32);
      out[tx * 4 + 2] = static_cast<std::uint8_t>((r * magic) >> 32);
      out[tx * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra::detail
