// SSE2 rows of the 2:1 and 3:2 area scales, in 16-bit lanes.
#include <emmintrin.h>

#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

const __m128i kOpaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));

// [P0 P1] and [P2 P3] (16-bit B G R A) to [P0 + P1, P2 + P3].
inline __m128i pair_sums(__m128i lo, __m128i hi) {
  return _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
}

}  // namespace

std::size_t halve_row_sse2(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                           std::size_t dst_width, int bias) {
  const __m128i zero = _mm_setzero_si128(), rounding = _mm_set1_epi16(static_cast<short>(bias));
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    __m128i half[2];
    for (int i = 0; i < 2; ++i) {
      const __m128i a = load(upper + x * 8 + i * 16), b = load(lower + x * 8 + i * 16);
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      half[i] = _mm_srli_epi16(_mm_add_epi16(pair_sums(lo, hi), rounding), 2);
    }
    store(out + x * 4, _mm_or_si128(_mm_packus_epi16(half[0], half[1]), kOpaque));
  }
  return x;
}

namespace {

// Six 16-bit pixels P0..P11 (two per register) of one weighted row sum to
// the target pairs (2 P0 + P1, P1 + 2 P2), (2 P3 + P4, P4 + 2 P5), ...
// rounded to bytes.
inline void three_to_two(const __m128i* p, std::uint8_t* out) {
  const __m128i four = _mm_set1_epi16(4), ninth = _mm_set1_epi16(static_cast<short>(kNinthMagic));
  auto pair = [&](__m128i outer, __m128i middle) {
    const __m128i s = _mm_add_epi16(_mm_add_epi16(outer, outer), middle);
    return _mm_mulhi_epu16(_mm_add_epi16(s, four), ninth);
  };
  const __m128i t01 = pair(_mm_unpacklo_epi64(p[0], p[1]), _mm_unpackhi_epi64(p[0], p[0]));
  const __m128i t23 = pair(_mm_unpackhi_epi64(p[1], p[2]), _mm_unpacklo_epi64(p[2], p[2]));
  const __m128i t45 = pair(_mm_unpacklo_epi64(p[3], p[4]), _mm_unpackhi_epi64(p[3], p[3]));
  const __m128i t67 = pair(_mm_unpackhi_epi64(p[4], p[5]), _mm_unpacklo_epi64(p[5], p[5]));
  store(out, _mm_or_si128(_mm_packus_epi16(t01, t23), kOpaque));
  store(out + 16, _mm_or_si128(_mm_packus_epi16(t45, t67), kOpaque));
}

}  // namespace

std::size_t three_halves_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                   std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  const __m128i zero = _mm_setzero_si128();
  std::size_t x = 0;
  // 12 source pixels, 8 target pixels per row and step.
  for (; x + 8 <= dst_width; x += 8) {
    const std::size_t s = x / 2 * 3 * 4;
    __m128i upper[6], lower[6];
    for (int i = 0; i < 3; ++i) {
      const __m128i va = load(a + s + i * 16), vb = load(b + s + i * 16), vc = load(c + s + i * 16);
      for (int h = 0; h < 2; ++h) {
        const __m128i pa = h ? _mm_unpackhi_epi8(va, zero) : _mm_unpacklo_epi8(va, zero);
        const __m128i pb = h ? _mm_unpackhi_epi8(vb, zero) : _mm_unpacklo_epi8(vb, zero);
        const __m128i pc = h ? _mm_unpackhi_epi8(vc, zero) : _mm_unpacklo_epi8(vc, zero);
        upper[i * 2 + h] = _mm_add_epi16(_mm_add_epi16(pa, pa), pb);
        lower[i * 2 + h] = _mm_add_epi16(_mm_add_epi16(pc, pc), pb);
      }
    }
    three_to_two(upper, top + x * 4);
    three_to_two(lower, bottom + x * 4);
  }
  return x;
}

}  // namespace nimbra::detail
