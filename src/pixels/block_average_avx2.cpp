// AVX2 rows of the 3:1 and 4:1 reductions. A byte shuffle puts the bytes of
// one channel of a block row next to each other, one multiply-add by 1 sums
// pairs of them, the block's rows are added, and a second multiply-add
// finishes each channel's sum in 32 bits. Other block sizes take the SSE2 row.
#include <immintrin.h>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"

namespace nimbra::detail {
namespace {

inline __m256i load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Per 32-byte load, two target pixels' channel sums of `block` rows as 32-bit
// lanes: B, G, R, A of one target per 128-bit lane.
template <int kBlock>
inline __m256i block_sums(const std::uint8_t* p, std::size_t row_bytes, __m256i gather) {
  const __m256i ones8 = _mm256_set1_epi8(1);
  __m256i s = _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(p), gather), ones8);
  for (int r = 1; r < kBlock; ++r) {
    s = _mm256_add_epi16(s, _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(p + r * row_bytes), gather), ones8));
  }
  return _mm256_madd_epi16(s, _mm256_set1_epi16(1));
}

// Eight target pixels from four registers of block sums (targets x, x + 1 |
// x + 2, x + 3 | ...), each lane holding one target: divide, pack, reorder.
inline void store_eight(__m256i s0, __m256i s1, __m256i s2, __m256i s3, __m256i rounding, __m256i divide,
                        bool shift, std::uint8_t* out) {
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  __m256i w0 = _mm256_add_epi16(_mm256_packs_epi32(s0, s1), rounding);  // x, x+2 | x+1, x+3
  __m256i w1 = _mm256_add_epi16(_mm256_packs_epi32(s2, s3), rounding);
  if (shift) {
    w0 = _mm256_srli_epi16(w0, 4);
    w1 = _mm256_srli_epi16(w1, 4);
  } else {
    w0 = _mm256_mulhi_epu16(w0, divide);
    w1 = _mm256_mulhi_epu16(w1, divide);
  }
  const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w0, w1), order);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_or_si256(bytes, _mm256_set1_epi32(static_cast<int>(0xFF000000u))));
}

// 3:1. Lane 0 loads from one pixel before its target's three, lane 1 from
// its target's first, so one 32-byte load covers two targets; the first
// target of a row has no pixel before it and is left to the C row.
std::size_t three_row(const std::uint8_t* rows, std::size_t row_bytes, std::uint8_t* out, std::size_t dst_width,
                      std::uint32_t bias) {
  const __m256i gather = _mm256_setr_epi8(4, 8, 12, -1, 5, 9, 13, -1, 6, 10, 14, -1, 7, 11, 15, -1,  //
                                          0, 4, 8, -1, 1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1);
  const __m256i rounding = _mm256_set1_epi16(static_cast<short>(bias));
  const __m256i ninth = _mm256_set1_epi16(static_cast<short>(kNinthMagic));
  block_row_c(rows, row_bytes, 3, out, 1, bias, nullptr);
  std::size_t x = 1;
  // Targets x .. x + 7 read up to byte 12 (x + 6) + 28 of each row.
  const std::ptrdiff_t ahead = 3 * static_cast<std::ptrdiff_t>(row_bytes);
  for (; x + 8 <= dst_width && 12 * (x + 6) + 28 <= row_bytes; x += 8) {
    const std::uint8_t* p = rows + 12 * x - 4;
    for (std::size_t r = 0; r < 3; ++r) {
      prefetch_ahead(p + r * row_bytes, ahead);
      prefetch_ahead(p + r * row_bytes + 64, ahead);
    }
    store_eight(block_sums<3>(p, row_bytes, gather), block_sums<3>(p + 24, row_bytes, gather),
                block_sums<3>(p + 48, row_bytes, gather), block_sums<3>(p + 72, row_bytes, gather), rounding, ninth,
                false, out + x * 4);
  }
  return x;
}

// 4:1: each 128-bit lane is one target's four pixels.
std::size_t four_row(const std::uint8_t* rows, std::size_t row_bytes, std::uint8_t* out, std::size_t dst_width,
                     std::uint32_t bias) {
  const __m256i gather = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                          0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m256i rounding = _mm256_set1_epi16(static_cast<short>(bias));
  std::size_t x = 0;
  const std::ptrdiff_t ahead = 4 * static_cast<std::ptrdiff_t>(row_bytes);
  for (; x + 8 <= dst_width; x += 8) {
    const std::uint8_t* p = rows + 16 * x;
    for (std::size_t r = 0; r < 4; ++r) {
      prefetch_ahead(p + r * row_bytes, ahead);
      prefetch_ahead(p + r * row_bytes + 64, ahead);
    }
    store_eight(block_sums<4>(p, row_bytes, gather), block_sums<4>(p + 32, row_bytes, gather),
                block_sums<4>(p + 64, row_bytes, gather), block_sums<4>(p + 96, row_bytes, gather), rounding,
                rounding, true, out + x * 4);
  }
  return x;
}

}  // namespace

std::size_t block_row_avx2(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                           std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums) {
  if (block == 3) return three_row(rows, row_bytes, out, dst_width, bias);
  if (block == 4) return four_row(rows, row_bytes, out, dst_width, bias);
  return block_row_sse2(rows, row_bytes, block, out, dst_width, bias, column_sums);
}

}  // namespace nimbra::detail
