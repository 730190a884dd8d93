// AVX2 rows of the 2:1, 3:2 and 4:3 area scales. Byte shuffles bring the pixels
// that share a target pixel next to each other, so one multiply-add per
// register applies the horizontal weights.
#include <immintrin.h>

#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

inline __m256i load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Two 128-bit loads, 12 bytes apart: three source pixels (and one spare) per lane.
inline __m256i load_threes(const std::uint8_t* p) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

}  // namespace

namespace {

template <bool kRoundHalfUp>
std::size_t halve_row(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out, std::size_t dst_width) {
  // Channel k of pixels 0 and 1, then of pixels 2 and 3, side by side.
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i ones = _mm256_set1_epi8(1), quarter = _mm256_set1_epi16(1 << 13);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  auto eight = [&](std::size_t x) {
    __m256i half[2];
    for (int i = 0; i < 2; ++i) {
      const __m256i a = _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(upper + x * 8 + i * 32), pairs), ones);
      const __m256i b = _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(lower + x * 8 + i * 32), pairs), ones);
      const __m256i sum = _mm256_add_epi16(a, b);
      // (sum * 2^13 + 2^14) >> 15 is (sum + 2) >> 2 in one step.
      half[i] = kRoundHalfUp ? _mm256_mulhrs_epi16(sum, quarter) : _mm256_srli_epi16(sum, 2);
    }
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(half[0], half[1]), _MM_SHUFFLE(3, 1, 2, 0));
    store(out + x * 4, _mm256_or_si256(packed, opaque));
  };
  std::size_t x = 0;
  for (; x + 16 <= dst_width; x += 16) {
    eight(x);
    eight(x + 8);
  }
  for (; x + 8 <= dst_width; x += 8) eight(x);
  return x;
}

}  // namespace

std::size_t halve_row_avx2(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                           std::size_t dst_width, int bias) {
  return bias == 2 ? halve_row<true>(upper, lower, out, dst_width) : halve_row<false>(upper, lower, out, dst_width);
}

namespace {

// The frame of the 3:2 rows: 12 source pixels of each of three rows per
// step, 8 target pixels of each of two rows. `weigh` turns the three rows'
// pixel pairs (per lane, channel k of pixels 0 and 1, then of pixels 1 and
// 2) into the 16-bit top and bottom targets.
template <class Weigh>
std::size_t three_halves_rows(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                              std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width, Weigh weigh) {
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 5, 9, 6, 10, 7, 11,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 5, 9, 6, 10, 7, 11);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  auto pairs_at = [&](const std::uint8_t* p) { return _mm256_shuffle_epi8(load_threes(p), pairs); };
  auto pack = [&](__m256i s0, __m256i s1) {
    return _mm256_or_si256(_mm256_permute4x64_epi64(_mm256_packus_epi16(s0, s1), _MM_SHUFFLE(3, 1, 2, 0)), opaque);
  };
  std::size_t x = 0;
  // The last 16-byte load reads one pixel past the 12, so that pixel must exist.
  const std::size_t src_width = dst_width / 2 * 3;
  for (; x + 8 <= dst_width && x / 2 * 3 + 13 <= src_width; x += 8) {
    const std::size_t s = x / 2 * 3 * 4;
    __m256i up0, down0, up1, down1;
    weigh(pairs_at(a + s), pairs_at(b + s), pairs_at(c + s), up0, down0);
    weigh(pairs_at(a + s + 24), pairs_at(b + s + 24), pairs_at(c + s + 24), up1, down1);
    store(top + x * 4, pack(up0, up1));
    store(bottom + x * 4, pack(down0, down1));
  }
  return x;
}

}  // namespace

std::size_t three_halves_rows_avx2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                   std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  // Horizontal weights 2, 1 | 1, 2; the outer rows carry their vertical 2 too.
  const __m256i inner = _mm256_setr_epi8(2, 1, 2, 1, 2, 1, 2, 1, 1, 2, 1, 2, 1, 2, 1, 2,  //
                                         2, 1, 2, 1, 2, 1, 2, 1, 1, 2, 1, 2, 1, 2, 1, 2);
  const __m256i outer = _mm256_add_epi8(inner, inner);
  const __m256i four = _mm256_set1_epi16(4), ninth = _mm256_set1_epi16(static_cast<short>(kNinthMagic));
  auto ninths = [&](__m256i sum) { return _mm256_mulhi_epu16(_mm256_add_epi16(sum, four), ninth); };
  return three_halves_rows(a, b, c, top, bottom, dst_width,
                           [&](__m256i pa, __m256i pb, __m256i pc, __m256i& up, __m256i& down) {
                             const __m256i middle = _mm256_maddubs_epi16(pb, inner);
                             up = ninths(_mm256_add_epi16(_mm256_maddubs_epi16(pa, outer), middle));
                             down = ninths(_mm256_add_epi16(_mm256_maddubs_epi16(pc, outer), middle));
                           });
}

std::size_t box_three_halves_rows_avx2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                       std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  // Weights 2, 0 and 1, 1: twice the lone pixel beside the pair's sum, so
  // that one shift finishes both (by 1 on the top row, by 2 below it).
  const __m256i weights = _mm256_setr_epi8(2, 0, 2, 0, 2, 0, 2, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                           2, 0, 2, 0, 2, 0, 2, 0, 1, 1, 1, 1, 1, 1, 1, 1);
  return three_halves_rows(a, b, c, top, bottom, dst_width,
                           [&](__m256i pa, __m256i pb, __m256i pc, __m256i& up, __m256i& down) {
                             up = _mm256_srli_epi16(_mm256_maddubs_epi16(pa, weights), 1);
                             down = _mm256_srli_epi16(
                                 _mm256_add_epi16(_mm256_maddubs_epi16(pb, weights), _mm256_maddubs_epi16(pc, weights)),
                                 2);
                           });
}

std::size_t four_thirds_rows_avx2(const std::uint8_t* const source_rows[4], std::uint8_t* const out_rows[3],
                                  std::size_t dst_width, bool box) {
  // The row addresses in locals: the stores could otherwise alias them.
  const std::uint8_t* const rows[4] = {source_rows[0], source_rows[1], source_rows[2], source_rows[3]};
  std::uint8_t* const out[3] = {out_rows[0], out_rows[1], out_rows[2]};
  // Four source pixels widened to 16 bits, one per 64-bit element: the rows
  // are weighed first, then each target takes an element and the next.
  const __m256i first = box ? _mm256_setr_epi16(2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0)
                            : _mm256_setr_epi16(3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0);
  const __m256i second = box ? _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0)
                             : _mm256_setr_epi16(1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 0, 0, 0, 0);
  const __m256i bias = _mm256_set1_epi16(box ? 0 : 8), order = _mm256_setr_epi32(0, 1, 4, 2, 3, 6, 5, 7);
  const __m128i shift = _mm_cvtsi32_si128(box ? 2 : 4);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  auto wide = [](const std::uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  };
  auto across = [&](__m256i v) {  // elements 0, 1 and 2 from elements 0 and 1, 1 and 2, 2 and 3
    const __m256i next = _mm256_permute4x64_epi64(v, _MM_SHUFFLE(3, 3, 2, 1));
    const __m256i sum = _mm256_add_epi16(_mm256_mullo_epi16(v, first), _mm256_mullo_epi16(next, second));
    return _mm256_srl_epi16(_mm256_add_epi16(sum, bias), shift);
  };
  std::size_t x = 0;
  // Six targets per step, stored as eight: the last two stay inside the row.
  for (; x + 8 <= dst_width; x += 6) {
    const std::size_t s = x / 3 * 16;
    __m256i target[3][2];
    for (int half = 0; half < 2; ++half) {
      const __m256i a = wide(rows[0] + s + half * 16), b = wide(rows[1] + s + half * 16);
      const __m256i c = wide(rows[2] + s + half * 16), d = wide(rows[3] + s + half * 16);
      if (box) {
        target[0][half] = across(_mm256_add_epi16(a, a));
        target[1][half] = across(_mm256_add_epi16(b, b));
        target[2][half] = across(_mm256_add_epi16(c, d));
      } else {
        target[0][half] = across(_mm256_add_epi16(_mm256_add_epi16(a, a), _mm256_add_epi16(a, b)));
        target[1][half] = across(_mm256_slli_epi16(_mm256_add_epi16(b, c), 1));
        target[2][half] = across(_mm256_add_epi16(_mm256_add_epi16(d, d), _mm256_add_epi16(d, c)));
      }
    }
    for (int row = 0; row < 3; ++row) {
      const __m256i packed = _mm256_packus_epi16(target[row][0], target[row][1]);
      store(out[row] + x * 4, _mm256_or_si256(_mm256_permutevar8x32_epi32(packed, order), opaque));
    }
  }
  return x;
}

}  // namespace nimbra::detail
