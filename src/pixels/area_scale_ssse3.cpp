// SSSE3 row of the 2:1 scales: a byte shuffle brings the pixels that share a
// target next to each other, so one multiply-add by 1 sums them.
#include <tmmintrin.h>

#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

template <bool kRoundHalfUp>
std::size_t halve_row(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out, std::size_t dst_width) {
  // Channel k of pixels 0 and 1, then of pixels 2 and 3, side by side.
  const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m128i ones = _mm_set1_epi8(1), quarter = _mm_set1_epi16(1 << 13);
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    __m128i half[2];
    for (int i = 0; i < 2; ++i) {
      const __m128i a = _mm_maddubs_epi16(_mm_shuffle_epi8(load(upper + x * 8 + i * 16), pairs), ones);
      const __m128i b = _mm_maddubs_epi16(_mm_shuffle_epi8(load(lower + x * 8 + i * 16), pairs), ones);
      const __m128i sum = _mm_add_epi16(a, b);
      // (sum * 2^13 + 2^14) >> 15 is (sum + 2) >> 2 in one step.
      half[i] = kRoundHalfUp ? _mm_mulhrs_epi16(sum, quarter) : _mm_srli_epi16(sum, 2);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x * 4), _mm_or_si128(_mm_packus_epi16(half[0], half[1]), opaque));
  }
  return x;
}

}  // namespace

std::size_t halve_row_ssse3(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                            std::size_t dst_width, int bias) {
  return bias == 2 ? halve_row<true>(upper, lower, out, dst_width) : halve_row<false>(upper, lower, out, dst_width);
}

}  // namespace nimbra::detail
