// SSE2 rows of the 2:1, 3:2 and 4:3 scales, in 16-bit lanes.
#include <emmintrin.h>

#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

const __m128i kOpaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));

}  // namespace

namespace {

// In bytes: with averages that round up, v = avg(p, q) of each column and
// then avg(v, w) of the two columns, each average adding the bit e it
// rounded away. (sum + 2) / 4 is avg(v, w) less 1 where an e is set and
// v + w is odd; sum / 4 is avg(v, w) less 1 unless no e is set and v + w is
// even.
template <bool kRoundHalfUp>
std::size_t halve_row(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out, std::size_t dst_width) {
  const __m128i one = _mm_set1_epi8(1);
  auto even = [](__m128i x, __m128i y) {
    return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(x), _mm_castsi128_ps(y), _MM_SHUFFLE(2, 0, 2, 0)));
  };
  auto odd = [](__m128i x, __m128i y) {
    return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(x), _mm_castsi128_ps(y), _MM_SHUFFLE(3, 1, 3, 1)));
  };
  const std::ptrdiff_t ahead = 2 * (lower - upper);
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    prefetch_ahead(upper + x * 8, ahead);
    prefetch_ahead(lower + x * 8, ahead);
    const __m128i u0 = load(upper + x * 8), u1 = load(upper + x * 8 + 16);
    const __m128i l0 = load(lower + x * 8), l1 = load(lower + x * 8 + 16);
    const __m128i c0 = _mm_avg_epu8(u0, l0), c1 = _mm_avg_epu8(u1, l1);
    const __m128i r0 = _mm_xor_si128(u0, l0), r1 = _mm_xor_si128(u1, l1);
    const __m128i v = even(c0, c1), w = odd(c0, c1);
    const __m128i rounded = _mm_or_si128(even(r0, r1), odd(r0, r1)), parity = _mm_xor_si128(v, w);
    const __m128i less = kRoundHalfUp ? _mm_and_si128(rounded, parity) : _mm_or_si128(rounded, parity);
    store(out + x * 4, _mm_or_si128(_mm_sub_epi8(_mm_avg_epu8(v, w), _mm_and_si128(less, one)), kOpaque));
  }
  return x;
}

}  // namespace

std::size_t halve_row_sse2(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                           std::size_t dst_width, int bias) {
  return bias == 2 ? halve_row<true>(upper, lower, out, dst_width) : halve_row<false>(upper, lower, out, dst_width);
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
  const std::ptrdiff_t ahead = 3 * (b - a);
  std::size_t x = 0;
  // 12 source pixels, 8 target pixels per row and step.
  for (; x + 8 <= dst_width; x += 8) {
    const std::size_t s = x / 2 * 3 * 4;
    for (const std::uint8_t* row : {a, b, c}) prefetch_ahead(row + s, ahead);
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

std::size_t box_three_halves_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                       std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  const __m128i zero = _mm_setzero_si128();
  // Of six pixels P0..P5 of a row: [P0 P3] and [P1 + P2, P4 + P5], the parts of targets 0 | 2 and 1 | 3.
  auto parts = [&](const std::uint8_t* row, __m128i& single, __m128i& pair) {
    const __m128i v = load(row),
                  rest = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + 16)), zero);
    const __m128i p01 = _mm_unpacklo_epi8(v, zero), p23 = _mm_unpackhi_epi8(v, zero);
    single = _mm_unpacklo_epi64(p01, _mm_unpackhi_epi64(p23, p23));
    pair = _mm_add_epi16(_mm_unpackhi_epi64(p01, _mm_slli_si128(rest, 8)),
                         _mm_unpacklo_epi64(p23, _mm_srli_si128(rest, 8)));
  };
  // Twice the lone pixel beside the pair's sum, so that one shift finishes both.
  auto put = [&](std::uint8_t* out, __m128i single, __m128i pair, int shift) {
    const __m128i twice = _mm_add_epi16(single, single);
    const __m128i t01 = _mm_srli_epi16(_mm_unpacklo_epi64(twice, pair), shift);
    const __m128i t23 = _mm_srli_epi16(_mm_unpackhi_epi64(twice, pair), shift);
    store(out, _mm_or_si128(_mm_packus_epi16(t01, t23), kOpaque));
  };
  const std::ptrdiff_t ahead = 3 * (b - a);
  std::size_t x = 0;
  for (; x + 4 <= dst_width; x += 4) {
    const std::size_t s = x / 2 * 12;
    for (const std::uint8_t* row : {a, b, c}) prefetch_ahead(row + s, ahead);
    __m128i sa, pa, sb, pb, sc, pc;
    parts(a + s, sa, pa), parts(b + s, sb, pb), parts(c + s, sc, pc);
    put(top + x * 4, sa, pa, 1);
    put(bottom + x * 4, _mm_add_epi16(sb, sc), _mm_add_epi16(pb, pc), 2);
  }
  return x;
}

std::size_t four_thirds_rows_sse2(const std::uint8_t* const source_rows[4], std::uint8_t* const out_rows[3],
                                  std::size_t dst_width, bool box) {
  // The row addresses in locals: the stores could otherwise alias them.
  const std::uint8_t* const rows[4] = {source_rows[0], source_rows[1], source_rows[2], source_rows[3]};
  std::uint8_t* const out[3] = {out_rows[0], out_rows[1], out_rows[2]};
  const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(box ? 0 : 8);
  const __m128i shift = _mm_cvtsi32_si128(box ? 2 : 4);
  // Targets two at a time, [first x 4, second x 4]: each weighs a pixel of
  // `near` and the next, in `far`.
  auto pair = [](short first, short second) {
    return _mm_setr_epi16(first, first, first, first, second, second, second, second);
  };
  const __m128i near01 = box ? pair(2, 2) : pair(3, 2), far01 = box ? pair(0, 0) : pair(1, 2);
  const __m128i near23 = box ? pair(1, 2) : pair(1, 3), far23 = box ? pair(1, 0) : pair(3, 1);
  const __m128i near45 = box ? pair(2, 1) : pair(2, 1), far45 = box ? pair(0, 1) : pair(2, 3);
  auto weigh = [&](__m128i near, __m128i far, __m128i near_weights, __m128i far_weights) {
    const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(near, near_weights), _mm_mullo_epi16(far, far_weights));
    return _mm_srl_epi16(_mm_add_epi16(sum, bias), shift);
  };
  // [P0 P1] [P2 P3] [P4 P5] [P6 P7] of one weighed row to its six targets.
  auto across = [&](const __m128i p[4], std::uint8_t* row) {
    auto swap = [](__m128i lo, __m128i hi) {  // [lo.hi, hi.lo]
      return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(lo), _mm_castsi128_pd(hi), 1));
    };
    const __m128i t01 = weigh(p[0], swap(p[0], p[1]), near01, far01);
    const __m128i t23 = weigh(_mm_unpacklo_epi64(p[1], p[2]), _mm_unpackhi_epi64(p[1], p[2]), near23, far23);
    const __m128i t45 = weigh(swap(p[2], p[3]), p[3], near45, far45);
    store(row, _mm_or_si128(_mm_packus_epi16(t01, t23), kOpaque));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + 16), _mm_or_si128(_mm_packus_epi16(t45, t45), kOpaque));
  };
  const std::ptrdiff_t ahead = 4 * (rows[1] - rows[0]);
  std::size_t x = 0;
  // Eight source pixels, six targets per row and step.
  for (; x + 6 <= dst_width; x += 6) {
    const std::size_t s = x / 3 * 16;
    for (const std::uint8_t* row : rows) prefetch_ahead(row + s, ahead);
    __m128i p[4][4];  // source row, then pixels [0 1] [2 3] [4 5] [6 7] in 16 bits
    for (int r = 0; r < 4; ++r) {
      const __m128i lo = load(rows[r] + s), hi = load(rows[r] + s + 16);
      p[r][0] = _mm_unpacklo_epi8(lo, zero), p[r][1] = _mm_unpackhi_epi8(lo, zero);
      p[r][2] = _mm_unpacklo_epi8(hi, zero), p[r][3] = _mm_unpackhi_epi8(hi, zero);
    }
    for (int row = 0; row < 3; ++row) {
      // Target row `row` weighs source rows `row` and `row` + 1: 3, 1 | 2, 2 | 1, 3, or 2, 0 | 2, 0 | 1, 1.
      __m128i weighed[4];
      for (int h = 0; h < 4; ++h) {
        const __m128i a = p[row][h], b = p[row + 1][h], ab = _mm_add_epi16(a, b);
        if (box) {
          weighed[h] = row < 2 ? _mm_add_epi16(a, a) : ab;
        } else {
          weighed[h] = row == 1 ? _mm_add_epi16(ab, ab)
                                : _mm_add_epi16(ab, row == 0 ? _mm_add_epi16(a, a) : _mm_add_epi16(b, b));
        }
      }
      across(weighed, out[row] + x * 4);
    }
  }
  return x;
}

}  // namespace nimbra::detail
