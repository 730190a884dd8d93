// AVX2 rows of the 2:1, 3:2 and 4:3 area scales. Byte shuffles bring the pixels
// that share a target pixel next to each other, so one multiply-add per
// register applies the horizontal weights.
#include <immintrin.h>

#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

inline __m256i load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline void store(std::uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

// Two 128-bit loads, one per lane.
inline __m256i load_pair(const std::uint8_t* lo, const std::uint8_t* hi) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Three source pixels (and one spare) per lane.
inline __m256i load_threes(const std::uint8_t* p) { return load_pair(p, p + 12); }

}  // namespace

namespace {

template <bool kRoundHalfUp>
std::size_t halve_row(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out, std::size_t dst_width) {
  // Channel k of pixels 0 and 1, then of pixels 2 and 3, side by side.
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i ones = _mm256_set1_epi8(1), quarter = _mm256_set1_epi16(1 << 13);
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const std::ptrdiff_t ahead = 2 * (lower - upper);
  auto eight = [&](std::size_t x) {
    prefetch_ahead(upper + x * 8, ahead);
    prefetch_ahead(lower + x * 8, ahead);
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
  const std::ptrdiff_t ahead = 3 * (b - a);
  for (; x + 8 <= dst_width && x / 2 * 3 + 13 <= src_width; x += 8) {
    const std::size_t s = x / 2 * 3 * 4;
    for (const std::uint8_t* row : {a, b, c}) prefetch_ahead(row + s, ahead);
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

namespace {

template <bool kBox>
std::size_t four_thirds_rows(const std::uint8_t* const rows[4], std::uint8_t* const out[3], std::size_t dst_width) {
  // The row addresses in locals: the stores could otherwise alias them.
  const std::uint8_t *const a = rows[0], *const b = rows[1], *const c = rows[2], *const d = rows[3];
  std::uint8_t *const top = out[0], *const middle = out[1], *const bottom = out[2];
  // Twelve targets from source pixels 0..15, read as windows of four
  // pixels: 0..3 and 4..7 in one register, 8..11 and 12..15 in the next,
  // 2..5 and 10..13 in the third. Each window holds the pixel pairs of two
  // targets (0 1, 4 5 | 6 7, 10 11 | 2 3, 8 9), channel k of a pair side by side.
  const __m256i outer = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 4, 8, 5, 9, 6, 10, 7, 11,  //
                                         4, 8, 5, 9, 6, 10, 7, 11, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i inner = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  // The targets' horizontal weights: 3, 1 | 2, 2 | 1, 3 (area) or 2, 0 |
  // 2, 0 | 1, 1 (box), repeating.
  auto weights = [](char f0, char s0, char f1, char s1, char f2, char s2, char f3, char s3) {
    return _mm256_setr_epi8(f0, s0, f0, s0, f0, s0, f0, s0, f1, s1, f1, s1, f1, s1, f1, s1,  //
                            f2, s2, f2, s2, f2, s2, f2, s2, f3, s3, f3, s3, f3, s3, f3, s3);
  };
  const __m256i outer_weights = kBox ? weights(2, 0, 2, 0, 2, 0, 1, 1) : weights(3, 1, 2, 2, 2, 2, 1, 3);
  const __m256i inner_weights = kBox ? weights(1, 1, 2, 0, 1, 1, 2, 0) : weights(1, 3, 3, 1, 1, 3, 3, 1);
  const __m256i sixteenth = _mm256_set1_epi16(1 << 11);  // (sum * 2^11 + 2^14) >> 15 is (sum + 8) >> 4
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  auto finish = [&](__m256i sum) { return kBox ? _mm256_srli_epi16(sum, 2) : _mm256_mulhrs_epi16(sum, sixteenth); };
  // [0 1 4 5 | 6 7 10 11] and [2 3 8 9] to targets 0..11.
  auto put = [&](std::uint8_t* row, __m256i t05, __m256i t611, __m256i t29) {
    const __m256i p = _mm256_or_si256(_mm256_packus_epi16(t05, t29), opaque);   // 0 1 2 3 | 4 5 8 9
    const __m256i q = _mm256_or_si256(_mm256_packus_epi16(t611, t611), opaque);  // 6 7 6 7 | 10 11 10 11
    store(row, _mm256_blend_epi32(p, _mm256_permute4x64_epi64(q, _MM_SHUFFLE(0, 0, 0, 0)), 0xC0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 32), _mm256_extracti128_si256(_mm256_unpackhi_epi64(p, q), 1));
  };
  const std::ptrdiff_t ahead = 4 * (b - a);
  std::size_t x = 0;
  for (; x + 12 <= dst_width; x += 12) {
    const std::size_t s = x / 3 * 16;
    for (const std::uint8_t* row : {a, b, c, d}) prefetch_ahead(row + s, ahead);
    __m256i t[3][3];  // target row, then registers as above
    for (int r = 0; r < 3; ++r) {
      auto across = [&](const std::uint8_t* row) {
        const std::uint8_t* p = row + s;
        switch (r) {
          case 0: return _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(p), outer), outer_weights);
          case 1: return _mm256_maddubs_epi16(_mm256_shuffle_epi8(load(p + 32), outer), outer_weights);
          default: return _mm256_maddubs_epi16(_mm256_shuffle_epi8(load_pair(p + 8, p + 40), inner), inner_weights);
        }
      };
      const __m256i ha = across(a), hb = across(b), hc = across(c), hd = across(d);
      // Vertical weights 3, 1 | 2, 2 | 1, 3 (area) or 2, 0 | 2, 0 | 1, 1 (box).
      if (kBox) {
        t[0][r] = finish(_mm256_add_epi16(ha, ha));
        t[1][r] = finish(_mm256_add_epi16(hb, hb));
        t[2][r] = finish(_mm256_add_epi16(hc, hd));
      } else {
        const __m256i bc = _mm256_add_epi16(hb, hc);
        t[0][r] = finish(_mm256_add_epi16(_mm256_add_epi16(ha, ha), _mm256_add_epi16(ha, hb)));
        t[1][r] = finish(_mm256_add_epi16(bc, bc));
        t[2][r] = finish(_mm256_add_epi16(_mm256_add_epi16(hd, hd), _mm256_add_epi16(hd, hc)));
      }
    }
    put(top + x * 4, t[0][0], t[0][1], t[0][2]);
    put(middle + x * 4, t[1][0], t[1][1], t[1][2]);
    put(bottom + x * 4, t[2][0], t[2][1], t[2][2]);
  }
  return x;
}

}  // namespace

std::size_t four_thirds_rows_avx2(const std::uint8_t* const rows[4], std::uint8_t* const out[3],
                                  std::size_t dst_width, bool box) {
  return box ? four_thirds_rows<true>(rows, out, dst_width) : four_thirds_rows<false>(rows, out, dst_width);
}

}  // namespace nimbra::detail
