// SSE2 rows of bgra_to_nv12: 16 pixels of each of the two rows per step.
// Without byte multiplies the channels are split into 16-bit B, R and G, A.
#include <emmintrin.h>

#include "pixels/bgra_to_nv12_rows.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

struct Constants {
  __m128i low_bytes = _mm_set1_epi32(0x00FF00FF);
  __m128i luma_br = _mm_set1_epi32(25 | 66 << 16);
  __m128i luma_ga = _mm_set1_epi32(129);
  __m128i luma_bias = _mm_set1_epi32(128 + (16 << 8));
  __m128i u_br = _mm_set1_epi32(112 | (-38 << 16));
  __m128i u_ga = _mm_set1_epi32(-74 & 0xFFFF);
  __m128i v_br = _mm_set1_epi32((-18 & 0xFFFF) | 112 << 16);
  __m128i v_ga = _mm_set1_epi32(-94 & 0xFFFF);
  __m128i chroma_bias = _mm_set1_epi32(128 + (128 << 8));
};

inline __m128i luma4(const Constants& k, __m128i px) {
  const __m128i br = _mm_and_si128(px, k.low_bytes);
  const __m128i ga = _mm_srli_epi16(px, 8);
  const __m128i s = _mm_add_epi32(_mm_madd_epi16(br, k.luma_br), _mm_madd_epi16(ga, k.luma_ga));
  return _mm_srli_epi32(_mm_add_epi32(s, k.luma_bias), 8);
}

inline __m128i luma16(const Constants& k, const __m128i* px) {
  const __m128i ab = _mm_packs_epi32(luma4(k, px[0]), luma4(k, px[1]));
  const __m128i cd = _mm_packs_epi32(luma4(k, px[2]), luma4(k, px[3]));
  return _mm_packus_epi16(ab, cd);
}

// 4 pixels of each row to U | V << 16 of 2 chroma positions, in dwords 0 and 1.
inline __m128i uv2(const Constants& k, __m128i upper, __m128i lower) {
  __m128i br = _mm_add_epi16(_mm_and_si128(upper, k.low_bytes), _mm_and_si128(lower, k.low_bytes));
  __m128i ga = _mm_add_epi16(_mm_srli_epi16(upper, 8), _mm_srli_epi16(lower, 8));
  // Pixel pairs meet in dwords 0 and 2; dwords 1 and 3 carry junk.
  br = _mm_srli_epi16(_mm_add_epi16(br, _mm_srli_epi64(br, 32)), 2);
  ga = _mm_srli_epi16(_mm_add_epi16(ga, _mm_srli_epi64(ga, 32)), 2);
  __m128i u = _mm_add_epi32(_mm_madd_epi16(br, k.u_br), _mm_madd_epi16(ga, k.u_ga));
  __m128i v = _mm_add_epi32(_mm_madd_epi16(br, k.v_br), _mm_madd_epi16(ga, k.v_ga));
  u = _mm_srai_epi32(_mm_add_epi32(u, k.chroma_bias), 8);
  v = _mm_srai_epi32(_mm_add_epi32(v, k.chroma_bias), 8);
  return _mm_shuffle_epi32(_mm_or_si128(u, _mm_slli_epi32(v, 16)), _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

std::size_t bgra_to_nv12_rows_sse2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width) {
  const Constants k;
  std::size_t x = 0;
  const std::ptrdiff_t ahead = 2 * (row1 - row0);
  for (; x + 16 <= width; x += 16) {
    prefetch_ahead(row0 + x * 4, ahead);
    prefetch_ahead(row1 + x * 4, ahead);
    __m128i a[4], b[4];
    for (int i = 0; i < 4; ++i) {
      a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + x * 4) + i);
      b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + x * 4) + i);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma0 + x), luma16(k, a));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma1 + x), luma16(k, b));
    const __m128i c03 = _mm_unpacklo_epi64(uv2(k, a[0], b[0]), uv2(k, a[1], b[1]));
    const __m128i c47 = _mm_unpacklo_epi64(uv2(k, a[2], b[2]), uv2(k, a[3], b[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + x), _mm_packus_epi16(c03, c47));
  }
  return x;
}

}  // namespace nimbra::detail
