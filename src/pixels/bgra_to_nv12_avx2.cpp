// AVX2 rows of bgra_to_nv12: 32 pixels of each of the two rows per step.
#include <immintrin.h>

#include "pixels/bgra_to_nv12_rows.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

constexpr int bytes4(int b0, int b1, int b2, int b3) {
  return (b0 & 0xFF) | (b1 & 0xFF) << 8 | (b2 & 0xFF) << 16 | (b3 & 0xFF) << 24;
}

struct Constants {
  // 129 G does not fit one signed byte factor: G stands in for A too, and
  // 67 + 62 = 129 keeps both byte-pair products below 2^15.
  __m256i g_for_a = _mm256_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13,  //
                                     0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13);
  __m256i luma_factors = _mm256_set1_epi32(bytes4(25, 67, 66, 62));
  // A pixel's two products plus the bias stay below 2^16, so the 16-bit
  // horizontal add and the logical shift lose nothing.
  __m256i luma_bias = _mm256_set1_epi16(128 + (16 << 8));
  // Channel k of two neighbouring pixels side by side.
  __m256i pixel_pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  __m256i u_factors = _mm256_set1_epi32(bytes4(112, -74, -38, 0));
  __m256i v_factors = _mm256_set1_epi32(bytes4(-18, -94, 112, 0));
  // +128 before the shift and +128 after it, in one; the biased sums lie in
  // 4,336..61,456, so 16-bit lanes hold them as unsigned values.
  __m256i chroma_bias = _mm256_set1_epi16(static_cast<short>(128 + (128 << 8)));
  // Per lane the U bytes of four samples, their V bytes, then the same for
  // four more samples: to U, V pairs.
  __m256i uv_pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                      0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  __m256i ones8 = _mm256_set1_epi8(1);
  __m256i lane_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
};

inline __m256i luma16(const Constants& k, __m256i a, __m256i b) {
  const __m256i ma = _mm256_maddubs_epi16(_mm256_shuffle_epi8(a, k.g_for_a), k.luma_factors);
  const __m256i mb = _mm256_maddubs_epi16(_mm256_shuffle_epi8(b, k.g_for_a), k.luma_factors);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(ma, mb), k.luma_bias), 8);
}

inline __m256i luma32(const Constants& k, __m256i a, __m256i b, __m256i c, __m256i d) {
  return _mm256_permutevar8x32_epi32(_mm256_packus_epi16(luma16(k, a, b), luma16(k, c, d)), k.lane_order);
}

// 8 pixels of each row to the truncated 2 x 2 means of 4 chroma positions,
// 16-bit B, G, R, A, in order.
inline __m256i block_means(const Constants& k, __m256i upper, __m256i lower) {
  const __m256i a = _mm256_maddubs_epi16(_mm256_shuffle_epi8(upper, k.pixel_pairs), k.ones8);
  const __m256i b = _mm256_maddubs_epi16(_mm256_shuffle_epi8(lower, k.pixel_pairs), k.ones8);
  return _mm256_srli_epi16(_mm256_add_epi16(a, b), 2);
}

// Means as bytes to 16-bit U of four positions then V of the same four, per
// lane. Each factor pair's sum stays within +-28,560, so the 16-bit
// horizontal add is exact.
inline __m256i uv_words(const Constants& k, __m256i means) {
  const __m256i u = _mm256_maddubs_epi16(means, k.u_factors);
  const __m256i v = _mm256_maddubs_epi16(means, k.v_factors);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(u, v), k.chroma_bias), 8);
}

}  // namespace

std::size_t bgra_to_nv12_rows_avx2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width) {
  const Constants k;
  std::size_t x = 0;
  const std::ptrdiff_t ahead = 2 * (row1 - row0);
  for (; x + 32 <= width; x += 32) {
    for (std::size_t i = 0; i < 128; i += 64) {
      prefetch_ahead(row0 + x * 4 + i, ahead);
      prefetch_ahead(row1 + x * 4 + i, ahead);
    }
    const auto* p0 = reinterpret_cast<const __m256i*>(row0 + x * 4);
    const auto* p1 = reinterpret_cast<const __m256i*>(row1 + x * 4);
    const __m256i a0 = _mm256_loadu_si256(p0), a1 = _mm256_loadu_si256(p0 + 1);
    const __m256i a2 = _mm256_loadu_si256(p0 + 2), a3 = _mm256_loadu_si256(p0 + 3);
    const __m256i b0 = _mm256_loadu_si256(p1), b1 = _mm256_loadu_si256(p1 + 1);
    const __m256i b2 = _mm256_loadu_si256(p1 + 2), b3 = _mm256_loadu_si256(p1 + 3);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma0 + x), luma32(k, a0, a1, a2, a3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma1 + x), luma32(k, b0, b1, b2, b3));
    const __m256i m01 = _mm256_packus_epi16(block_means(k, a0, b0), block_means(k, a1, b1));
    const __m256i m23 = _mm256_packus_epi16(block_means(k, a2, b2), block_means(k, a3, b3));
    const __m256i uv = _mm256_shuffle_epi8(_mm256_packus_epi16(uv_words(k, m01), uv_words(k, m23)), k.uv_pairs);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(chroma + x), _mm256_permutevar8x32_epi32(uv, k.lane_order));
  }
  return x;
}

}  // namespace nimbra::detail
