// SSSE3 rows of bgra_to_nv12: the AVX2 rows' arithmetic on 16 pixels of
// each of the two rows per step, where 128-bit registers need no lane fixes.
#include <tmmintrin.h>

#include "pixels/bgra_to_nv12_rows.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

constexpr int bytes4(int b0, int b1, int b2, int b3) {
  return (b0 & 0xFF) | (b1 & 0xFF) << 8 | (b2 & 0xFF) << 16 | (b3 & 0xFF) << 24;
}

struct Constants {
  // G stands in for A, as 129 G does not fit one signed byte factor.
  __m128i g_for_a = _mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
  __m128i luma_factors = _mm_set1_epi32(bytes4(25, 67, 66, 62));
  __m128i luma_bias = _mm_set1_epi16(128 + (16 << 8));
  __m128i pixel_pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  __m128i u_factors = _mm_set1_epi32(bytes4(112, -74, -38, 0));
  __m128i v_factors = _mm_set1_epi32(bytes4(-18, -94, 112, 0));
  __m128i chroma_bias = _mm_set1_epi16(static_cast<short>(128 + (128 << 8)));
  __m128i uv_pairs = pixel_pairs;  // U bytes of four samples, then their V bytes, to U, V pairs
  __m128i ones8 = _mm_set1_epi8(1);
};

// Four pixels of each register to their eight luma values as 16-bit lanes.
inline __m128i luma8(const Constants& k, __m128i a, __m128i b) {
  const __m128i ma = _mm_maddubs_epi16(_mm_shuffle_epi8(a, k.g_for_a), k.luma_factors);
  const __m128i mb = _mm_maddubs_epi16(_mm_shuffle_epi8(b, k.g_for_a), k.luma_factors);
  return _mm_srli_epi16(_mm_add_epi16(_mm_hadd_epi16(ma, mb), k.luma_bias), 8);
}

// 4 pixels of each row to the truncated 2 x 2 means of 2 chroma positions, 16-bit B, G, R, A.
inline __m128i block_means(const Constants& k, __m128i upper, __m128i lower) {
  const __m128i a = _mm_maddubs_epi16(_mm_shuffle_epi8(upper, k.pixel_pairs), k.ones8);
  const __m128i b = _mm_maddubs_epi16(_mm_shuffle_epi8(lower, k.pixel_pairs), k.ones8);
  return _mm_srli_epi16(_mm_add_epi16(a, b), 2);
}

// Means of four positions as bytes to 16-bit U of the four, then V.
inline __m128i uv_words(const Constants& k, __m128i means) {
  const __m128i u = _mm_maddubs_epi16(means, k.u_factors);
  const __m128i v = _mm_maddubs_epi16(means, k.v_factors);
  return _mm_srli_epi16(_mm_add_epi16(_mm_hadd_epi16(u, v), k.chroma_bias), 8);
}

}  // namespace

std::size_t bgra_to_nv12_rows_ssse3(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                    std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width) {
  const Constants k;
  std::size_t x = 0;
  const std::ptrdiff_t ahead = 2 * (row1 - row0);
  for (; x + 16 <= width; x += 16) {
    prefetch_ahead(row0 + x * 4, ahead);
    prefetch_ahead(row1 + x * 4, ahead);
    const auto* p0 = reinterpret_cast<const __m128i*>(row0 + x * 4);
    const auto* p1 = reinterpret_cast<const __m128i*>(row1 + x * 4);
    const __m128i a0 = _mm_loadu_si128(p0), a1 = _mm_loadu_si128(p0 + 1);
    const __m128i a2 = _mm_loadu_si128(p0 + 2), a3 = _mm_loadu_si128(p0 + 3);
    const __m128i b0 = _mm_loadu_si128(p1), b1 = _mm_loadu_si128(p1 + 1);
    const __m128i b2 = _mm_loadu_si128(p1 + 2), b3 = _mm_loadu_si128(p1 + 3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma0 + x), _mm_packus_epi16(luma8(k, a0, a1), luma8(k, a2, a3)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(luma1 + x), _mm_packus_epi16(luma8(k, b0, b1), luma8(k, b2, b3)));
    const __m128i m01 = _mm_packus_epi16(block_means(k, a0, b0), block_means(k, a1, b1));
    const __m128i m23 = _mm_packus_epi16(block_means(k, a2, b2), block_means(k, a3, b3));
    const __m128i uv = _mm_packus_epi16(uv_words(k, m01), uv_words(k, m23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chroma + x), _mm_shuffle_epi8(uv, k.uv_pairs));
  }
  return x;
}

}  // namespace nimbra::detail
