// SSSE3 rows of the 2:1 and 4:3 scales: a byte shuffle brings the pixels that
// share a target next to each other, so one multiply-add applies their
// horizontal weights.
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
  const std::ptrdiff_t ahead = 2 * (lower - upper);
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    prefetch_ahead(upper + x * 8, ahead);
    prefetch_ahead(lower + x * 8, ahead);
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

template <bool kBox>
std::size_t four_thirds_rows(const std::uint8_t* const rows[4], std::uint8_t* const out[3], std::size_t dst_width) {
  // The row addresses in locals: the stores could otherwise alias them.
  const std::uint8_t *const a = rows[0], *const b = rows[1], *const c = rows[2], *const d = rows[3];
  std::uint8_t *const top = out[0], *const middle = out[1], *const bottom = out[2];
  // Six targets from source pixels 0..7, read as pixels 0..3, 2..5 and
  // 4..7: each window holds the pixel pairs of two targets, channel k of
  // the pair side by side.
  const __m128i pairs[3] = {_mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 5, 9, 6, 10, 7, 11),
                            _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15),
                            _mm_setr_epi8(4, 8, 5, 9, 6, 10, 7, 11, 8, 12, 9, 13, 10, 14, 11, 15)};
  // The targets' horizontal weights, by window: 3, 1 | 2, 2 | 1, 3 (area) or
  // 2, 0 | 2, 0 | 1, 1 (box), repeating.
  auto weights = [](char f0, char s0, char f1, char s1) {
    return _mm_setr_epi8(f0, s0, f0, s0, f0, s0, f0, s0, f1, s1, f1, s1, f1, s1, f1, s1);
  };
  const __m128i horizontal[3] = {kBox ? weights(2, 0, 2, 0) : weights(3, 1, 2, 2),
                                 kBox ? weights(1, 1, 2, 0) : weights(1, 3, 3, 1),
                                 kBox ? weights(2, 0, 1, 1) : weights(2, 2, 1, 3)};
  const __m128i sixteenth = _mm_set1_epi16(1 << 11);  // (sum * 2^11 + 2^14) >> 15 is (sum + 8) >> 4
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto finish = [&](__m128i sum) { return kBox ? _mm_srli_epi16(sum, 2) : _mm_mulhrs_epi16(sum, sixteenth); };
  auto put = [&](std::uint8_t* row, const __m128i t[3]) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_or_si128(_mm_packus_epi16(t[0], t[1]), opaque));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 16), _mm_or_si128(_mm_packus_epi16(t[2], t[2]), opaque));
  };
  const std::ptrdiff_t ahead = 4 * (b - a);
  std::size_t x = 0;
  for (; x + 6 <= dst_width; x += 6) {
    for (const std::uint8_t* row : {a, b, c, d}) prefetch_ahead(row + x / 3 * 16, ahead);
    __m128i t0[3], t1[3], t2[3];
    for (int w = 0; w < 3; ++w) {
      const std::size_t s = x / 3 * 16 + static_cast<std::size_t>(w) * 8;
      auto across = [&](const std::uint8_t* row) {
        return _mm_maddubs_epi16(_mm_shuffle_epi8(load(row + s), pairs[w]), horizontal[w]);
      };
      const __m128i ha = across(a), hb = across(b), hc = across(c), hd = across(d);
      // Vertical weights 3, 1 | 2, 2 | 1, 3 (area) or 2, 0 | 2, 0 | 1, 1 (box).
      if (kBox) {
        t0[w] = finish(_mm_add_epi16(ha, ha));
        t1[w] = finish(_mm_add_epi16(hb, hb));
        t2[w] = finish(_mm_add_epi16(hc, hd));
      } else {
        const __m128i bc = _mm_add_epi16(hb, hc);
        t0[w] = finish(_mm_add_epi16(_mm_add_epi16(ha, ha), _mm_add_epi16(ha, hb)));
        t1[w] = finish(_mm_add_epi16(bc, bc));
        t2[w] = finish(_mm_add_epi16(_mm_add_epi16(hd, hd), _mm_add_epi16(hd, hc)));
      }
    }
    put(top + x * 4, t0);
    put(middle + x * 4, t1);
    put(bottom + x * 4, t2);
  }
  return x;
}

}  // namespace

std::size_t four_thirds_rows_ssse3(const std::uint8_t* const rows[4], std::uint8_t* const out[3],
                                   std::size_t dst_width, bool box) {
  return box ? four_thirds_rows<true>(rows, out, dst_width) : four_thirds_rows<false>(rows, out, dst_width);
}

std::size_t halve_row_ssse3(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                            std::size_t dst_width, int bias) {
  return bias == 2 ? halve_row<true>(upper, lower, out, dst_width) : halve_row<false>(upper, lower, out, dst_width);
}

}  // namespace nimbra::detail
