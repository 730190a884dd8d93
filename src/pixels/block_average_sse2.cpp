// SSE2 row of the whole-number reductions: the k source rows summed in
// registers, then the column sums of each target pixel added up.
#include <emmintrin.h>

#include "pixels/block_average.h"
#include "pixels/exact_divider.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

// 16-bit column sums of k consecutive source rows, kept in registers
// across the rows.
void sum_rows(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t k, std::uint16_t* sums) {
  const __m128i zero = _mm_setzero_si128();
  const std::ptrdiff_t ahead = k * static_cast<std::ptrdiff_t>(row_bytes);
  std::size_t i = 0;
  for (; i + 16 <= row_bytes; i += 16) {
    __m128i lo = zero, hi = zero;
    for (std::size_t r = 0; r < k; ++r) {
      prefetch_ahead(rows + r * row_bytes + i, ahead);
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + r * row_bytes + i));
      lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
      hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 8), hi);
  }
  for (; i < row_bytes; ++i) {
    std::uint32_t sum = 0;
    for (std::size_t r = 0; r < k; ++r) sum += rows[r * row_bytes + i];
    sums[i] = static_cast<std::uint16_t>(sum);
  }
}

// Target pixels from column sums of k = 3 or 4 source pixels each, two at a
// time; returns how many it did.
std::size_t sum_columns_sse2(const std::uint16_t* s, std::uint32_t k, std::size_t dst_width, std::uint16_t bias,
                             const WordDivider& d, std::uint8_t* out) {
  const __m128i rounding = _mm_set1_epi16(static_cast<short>(bias)),
                magic = _mm_set1_epi16(static_cast<short>(d.magic));
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const __m128i shift = _mm_cvtsi32_si128(d.shift);
  auto at = [&](std::size_t px) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + px * 4)); };
  auto pd = [](__m128i v) { return _mm_castsi128_pd(v); };
  auto divide = [&](__m128i sums) {
    return _mm_srl_epi16(_mm_mulhi_epu16(_mm_add_epi16(sums, rounding), magic), shift);
  };
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    __m128i pair[2];
    for (int h = 0; h < 2; ++h) {
      const std::size_t p = (x + 2 * h) * k;
      if (k == 3) {
        // Pixels p .. p + 5 as three registers of two: [0 1] [2 3] [4 5].
        const __m128i r0 = at(p), r1 = at(p + 2), r2 = at(p + 4);
        const __m128i first = _mm_castpd_si128(_mm_shuffle_pd(pd(r0), pd(r1), 2));   // [0 3]
        const __m128i second = _mm_castpd_si128(_mm_shuffle_pd(pd(r0), pd(r2), 1));  // [1 4]
        const __m128i third = _mm_castpd_si128(_mm_shuffle_pd(pd(r1), pd(r2), 2));   // [2 5]
        pair[h] = divide(_mm_add_epi16(_mm_add_epi16(first, second), third));
      } else {
        const __m128i a = _mm_add_epi16(at(p), at(p + 2)), b = _mm_add_epi16(at(p + 4), at(p + 6));
        pair[h] = divide(_mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)));
      }
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x * 4), _mm_or_si128(_mm_packus_epi16(pair[0], pair[1]), opaque));
  }
  return x;
}

}  // namespace

std::size_t block_row_sse2(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                           std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums) {
  const std::uint32_t area = block * block;
  // floor(n / area) = (n * m) >> 32 with m = ceil(2^32 / area): exact while
  // n * area < 2^32, and n < 2^16, area <= 225 here.
  const std::uint64_t magic = ((std::uint64_t{1} << 32) + area - 1) / area;
  const WordDivider words(area, area * 255 + bias);
  sum_rows(rows, row_bytes, block, column_sums);
  std::size_t x = (block == 3 || block == 4) && words.exact
                      ? sum_columns_sse2(column_sums, block, dst_width, static_cast<std::uint16_t>(bias), words, out)
                      : 0;
  for (const std::uint16_t* s = column_sums + x * block * 4; x < dst_width; ++x, s += std::size_t{block} * 4) {
    std::uint32_t b = bias, g = bias, r = bias;
    for (std::size_t j = 0; j < block; ++j) {
      b += s[j * 4];
      g += s[j * 4 + 1];
      r += s[j * 4 + 2];
    }
    out[x * 4] = static_cast<std::uint8_t>((b * magic) >> 32);
    out[x * 4 + 1] = static_cast<std::uint8_t>((g * magic) >> 32);
    out[x * 4 + 2] = static_cast<std::uint8_t>((r * magic) >> 32);
    out[x * 4 + 3] = 255;
  }
  return dst_width;
}

}  // namespace nimbra::detail
