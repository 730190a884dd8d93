// SSE2 rows of nv12_to_rgba: 16 pixels of each of the two rows per step, in
// 16-bit lanes with the factor split explained in nv12_to_rgba_avx2.cpp.
#include <emmintrin.h>

#include "pixels/nv12_to_rgba_rows.h"

namespace nimbra::detail {
namespace {

struct Constants {
  __m128i floor16 = _mm_set1_epi8(16);
  __m128i bias128 = _mm_set1_epi16(128);
  __m128i luma_rest = _mm_set1_epi16(42);
  __m128i luma_offset = _mm_set1_epi16(-4640);
  __m128i f153 = _mm_set1_epi16(153);
  __m128i f48 = _mm_set1_epi16(48);
  __m128i f100 = _mm_set1_epi16(100);
  __m128i alpha = _mm_set1_epi8(-1);
};

struct Chroma {
  __m128i r_whole, r_rest, g_whole, g_rest, b_whole, b_rest;
};

// Four U, V pairs widened to 16 bits, each value repeated for its two pixels.
inline Chroma chroma_terms(const Constants& k, __m128i uv16) {
  __m128i d = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv16, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
  __m128i e = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv16, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
  d = _mm_sub_epi16(d, k.bias128);
  e = _mm_sub_epi16(e, k.bias128);
  Chroma c;
  c.r_whole = e;
  c.r_rest = _mm_mullo_epi16(e, k.f153);
  c.g_whole = _mm_sub_epi16(_mm_setzero_si128(), e);
  c.g_rest = _mm_sub_epi16(_mm_mullo_epi16(e, k.f48), _mm_mullo_epi16(d, k.f100));
  c.b_whole = _mm_add_epi16(d, d);
  c.b_rest = _mm_slli_epi16(d, 2);
  return c;
}

inline __m128i channel(__m128i luma, __m128i luma_rest, __m128i whole, __m128i rest) {
  const __m128i low = _mm_srai_epi16(_mm_add_epi16(luma_rest, rest), 8);
  return _mm_add_epi16(_mm_add_epi16(low, luma), whole);
}

inline void row16(const Constants& k, const std::uint8_t* luma, const Chroma& lo, const Chroma& hi,
                  std::uint8_t* out) {
  const __m128i l = _mm_max_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma)), k.floor16);
  const __m128i zero = _mm_setzero_si128();
  const __m128i l_lo = _mm_unpacklo_epi8(l, zero), l_hi = _mm_unpackhi_epi8(l, zero);
  const __m128i rest_lo = _mm_add_epi16(_mm_mullo_epi16(l_lo, k.luma_rest), k.luma_offset);
  const __m128i rest_hi = _mm_add_epi16(_mm_mullo_epi16(l_hi, k.luma_rest), k.luma_offset);
  const __m128i r = _mm_packus_epi16(channel(l_lo, rest_lo, lo.r_whole, lo.r_rest),
                                     channel(l_hi, rest_hi, hi.r_whole, hi.r_rest));
  const __m128i g = _mm_packus_epi16(channel(l_lo, rest_lo, lo.g_whole, lo.g_rest),
                                     channel(l_hi, rest_hi, hi.g_whole, hi.g_rest));
  const __m128i b = _mm_packus_epi16(channel(l_lo, rest_lo, lo.b_whole, lo.b_rest),
                                     channel(l_hi, rest_hi, hi.b_whole, hi.b_rest));
  const __m128i rg_lo = _mm_unpacklo_epi8(r, g), rg_hi = _mm_unpackhi_epi8(r, g);
  const __m128i ba_lo = _mm_unpacklo_epi8(b, k.alpha), ba_hi = _mm_unpackhi_epi8(b, k.alpha);
  auto* dst = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(dst, _mm_unpacklo_epi16(rg_lo, ba_lo));
  _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(rg_lo, ba_lo));
  _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(rg_hi, ba_hi));
  _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(rg_hi, ba_hi));
}

}  // namespace

std::size_t nv12_to_rgba_rows_sse2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width) {
  const Constants k;
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i uv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x));
    const Chroma lo = chroma_terms(k, _mm_unpacklo_epi8(uv, _mm_setzero_si128()));
    const Chroma hi = chroma_terms(k, _mm_unpackhi_epi8(uv, _mm_setzero_si128()));
    row16(k, luma0 + x, lo, hi, rgba0 + x * 4);
    row16(k, luma1 + x, lo, hi, rgba1 + x * 4);
  }
  return x;
}

}  // namespace nimbra::detail
