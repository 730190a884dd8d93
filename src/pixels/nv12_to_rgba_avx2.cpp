// AVX2 rows of nv12_to_rgba: 32 pixels of each of the two rows per step.
//
// Everything stays in 16-bit lanes by splitting each factor into a multiple
// of 256, which passes the shift exactly, and a small rest:
//   298 L = 256 L + 42 L,  409 E = 256 E + 153 E,
//   -100 D - 208 E = -256 E + (48 E - 100 D),  516 D = 512 D + 4 D,
// so R = L + E + ((42 L - 4640 + 153 E) >> 8) and likewise G and B; the rests
// stay within +-25,600 and the results within int16 before the byte clamp.
#include <immintrin.h>

#include "pixels/nv12_to_rgba_rows.h"

namespace nimbra::detail {
namespace {

struct Constants {
  __m256i floor16 = _mm256_set1_epi8(16);
  __m256i bias128 = _mm256_set1_epi16(128);
  __m256i luma_rest = _mm256_set1_epi16(42);
  __m256i luma_offset = _mm256_set1_epi16(-4640);
  __m256i f153 = _mm256_set1_epi16(153);
  __m256i f48 = _mm256_set1_epi16(48);
  __m256i f100 = _mm256_set1_epi16(100);
  __m256i alpha = _mm256_set1_epi8(-1);
  // Each U (or V) byte widened twice, for the two pixels it covers.
  __m256i u_low = _mm256_setr_epi8(0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1,  //
                                   0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1);
  __m256i u_high = _mm256_setr_epi8(8, -1, 8, -1, 10, -1, 10, -1, 12, -1, 12, -1, 14, -1, 14, -1,  //
                                    8, -1, 8, -1, 10, -1, 10, -1, 12, -1, 12, -1, 14, -1, 14, -1);
  __m256i v_low = _mm256_setr_epi8(1, -1, 1, -1, 3, -1, 3, -1, 5, -1, 5, -1, 7, -1, 7, -1,  //
                                   1, -1, 1, -1, 3, -1, 3, -1, 5, -1, 5, -1, 7, -1, 7, -1);
  __m256i v_high = _mm256_setr_epi8(9, -1, 9, -1, 11, -1, 11, -1, 13, -1, 13, -1, 15, -1, 15, -1,  //
                                    9, -1, 9, -1, 11, -1, 11, -1, 13, -1, 13, -1, 15, -1, 15, -1);
};

// Per-pixel chroma terms: whole parts (added after the shift) and rests.
struct Chroma {
  __m256i r_whole, r_rest, g_whole, g_rest, b_whole, b_rest;
};

inline Chroma chroma_terms(const Constants& k, __m256i uv, __m256i u_index, __m256i v_index) {
  const __m256i d = _mm256_sub_epi16(_mm256_shuffle_epi8(uv, u_index), k.bias128);
  const __m256i e = _mm256_sub_epi16(_mm256_shuffle_epi8(uv, v_index), k.bias128);
  Chroma c;
  c.r_whole = e;
  c.r_rest = _mm256_mullo_epi16(e, k.f153);
  c.g_whole = _mm256_sub_epi16(_mm256_setzero_si256(), e);
  c.g_rest = _mm256_sub_epi16(_mm256_mullo_epi16(e, k.f48), _mm256_mullo_epi16(d, k.f100));
  c.b_whole = _mm256_add_epi16(d, d);
  c.b_rest = _mm256_slli_epi16(d, 2);
  return c;
}

inline __m256i channel(__m256i luma, __m256i luma_rest, __m256i whole, __m256i rest) {
  const __m256i low = _mm256_srai_epi16(_mm256_add_epi16(luma_rest, rest), 8);
  return _mm256_add_epi16(_mm256_add_epi16(low, luma), whole);
}

inline void row32(const Constants& k, const std::uint8_t* luma, const Chroma& lo, const Chroma& hi,
                  std::uint8_t* out) {
  const __m256i l = _mm256_max_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma)), k.floor16);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i l_lo = _mm256_unpacklo_epi8(l, zero), l_hi = _mm256_unpackhi_epi8(l, zero);
  const __m256i rest_lo = _mm256_add_epi16(_mm256_mullo_epi16(l_lo, k.luma_rest), k.luma_offset);
  const __m256i rest_hi = _mm256_add_epi16(_mm256_mullo_epi16(l_hi, k.luma_rest), k.luma_offset);
  const __m256i r = _mm256_packus_epi16(channel(l_lo, rest_lo, lo.r_whole, lo.r_rest),
                                        channel(l_hi, rest_hi, hi.r_whole, hi.r_rest));
  const __m256i g = _mm256_packus_epi16(channel(l_lo, rest_lo, lo.g_whole, lo.g_rest),
                                        channel(l_hi, rest_hi, hi.g_whole, hi.g_rest));
  const __m256i b = _mm256_packus_epi16(channel(l_lo, rest_lo, lo.b_whole, lo.b_rest),
                                        channel(l_hi, rest_hi, hi.b_whole, hi.b_rest));
  const __m256i rg_lo = _mm256_unpacklo_epi8(r, g), rg_hi = _mm256_unpackhi_epi8(r, g);
  const __m256i ba_lo = _mm256_unpacklo_epi8(b, k.alpha), ba_hi = _mm256_unpackhi_epi8(b, k.alpha);
  const __m256i p0 = _mm256_unpacklo_epi16(rg_lo, ba_lo), p1 = _mm256_unpackhi_epi16(rg_lo, ba_lo);
  const __m256i p2 = _mm256_unpacklo_epi16(rg_hi, ba_hi), p3 = _mm256_unpackhi_epi16(rg_hi, ba_hi);
  auto* dst = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(dst, _mm256_permute2x128_si256(p0, p1, 0x20));
  _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(p2, p3, 0x20));
  _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(p0, p1, 0x31));
  _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(p2, p3, 0x31));
}

}  // namespace

std::size_t nv12_to_rgba_rows_avx2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width) {
  const Constants k;
  std::size_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i uv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + x));
    const Chroma lo = chroma_terms(k, uv, k.u_low, k.v_low);
    const Chroma hi = chroma_terms(k, uv, k.u_high, k.v_high);
    row32(k, luma0 + x, lo, hi, rgba0 + x * 4);
    row32(k, luma1 + x, lo, hi, rgba1 + x * 4);
  }
  return x;
}

}  // namespace nimbra::detail
