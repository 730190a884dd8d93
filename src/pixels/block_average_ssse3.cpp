// SSSE3 rows of the 3:1 and 4:1 reductions, as the AVX2 rows: a byte shuffle
// puts the bytes of one channel of a block row next to each other, one
// multiply-add by 1 sums pairs of them, the block's rows are added, and a
// second multiply-add finishes each channel's sum in 32 bits. Other block
// sizes take the SSE2 row.
#include <tmmintrin.h>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"

namespace nimbra::detail {
namespace {

// One target's channel sums of `kBlock` rows from the 16 bytes at `p` of
// each: B, G, R, A as 32-bit lanes.
template <int kBlock>
inline __m128i block_sums(const std::uint8_t* p, std::size_t row_bytes, __m128i gather) {
  const __m128i ones8 = _mm_set1_epi8(1);
  auto row = [&](int r) {
    return _mm_maddubs_epi16(
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + r * row_bytes)), gather), ones8);
  };
  __m128i s = row(0);
  for (int r = 1; r < kBlock; ++r) s = _mm_add_epi16(s, row(r));
  return _mm_madd_epi16(s, _mm_set1_epi16(1));
}

// Four targets of k x k blocks: (sum + bias) / k^2, by the exact ninth
// (k = 3) or a shift (k = 4).
template <int kBlock>
std::size_t blocks_row(const std::uint8_t* rows, std::size_t row_bytes, std::uint8_t* out, std::size_t dst_width,
                       std::uint32_t bias) {
  const __m128i gather = kBlock == 3 ? _mm_setr_epi8(0, 4, 8, -1, 1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1)
                                     : _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  const __m128i rounding = _mm_set1_epi16(static_cast<short>(bias));
  const __m128i ninth = _mm_set1_epi16(static_cast<short>(kNinthMagic));
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const std::size_t step = kBlock * 4;
  const std::ptrdiff_t ahead = kBlock * static_cast<std::ptrdiff_t>(row_bytes);
  std::size_t x = 0;
  // Each target loads 16 bytes from its first pixel: for 3:1 four past its block.
  for (; x + 4 <= dst_width && step * (x + 3) + 16 <= row_bytes; x += 4) {
    const std::uint8_t* p = rows + step * x;
    for (std::size_t r = 0; r < kBlock; ++r) prefetch_ahead(p + r * row_bytes, ahead);
    __m128i w0 =
        _mm_packs_epi32(block_sums<kBlock>(p, row_bytes, gather), block_sums<kBlock>(p + step, row_bytes, gather));
    __m128i w1 = _mm_packs_epi32(block_sums<kBlock>(p + 2 * step, row_bytes, gather),
                                 block_sums<kBlock>(p + 3 * step, row_bytes, gather));
    w0 = _mm_add_epi16(w0, rounding), w1 = _mm_add_epi16(w1, rounding);
    if constexpr (kBlock == 3) {
      w0 = _mm_mulhi_epu16(w0, ninth), w1 = _mm_mulhi_epu16(w1, ninth);
    } else {
      w0 = _mm_srli_epi16(w0, 4), w1 = _mm_srli_epi16(w1, 4);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x * 4), _mm_or_si128(_mm_packus_epi16(w0, w1), opaque));
  }
  return x;
}

}  // namespace

std::size_t block_row_ssse3(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                            std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums) {
  if (block == 3) return blocks_row<3>(rows, row_bytes, out, dst_width, bias);
  if (block == 4) return blocks_row<4>(rows, row_bytes, out, dst_width, bias);
  return block_row_sse2(rows, row_bytes, block, out, dst_width, bias, column_sums);
}

}  // namespace nimbra::detail
