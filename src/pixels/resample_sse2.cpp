// SSE2 rows of any-ratio resampling, for processors without AVX2. The
// horizontal row widens each window of pixels to 16 bits and pairs the
// pixels of each channel, so that one multiply-add per window gives a
// target's four sums; the vertical rows weigh four targets' lines at a time
// and divide exactly as the AVX2 rows do, with the float reciprocal kept to
// smaller divisors for want of a fused multiply-add. They work from a copy of
// their lines, which the byte stores to `out` cannot alias.
#include <emmintrin.h>

#include <type_traits>

#include "pixels/resample_rows.h"

namespace nimbra::detail {
namespace {

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Two pixels as 16-bit B G R A B G R A to B0 B1 G0 G1 R0 R1 A0 A1.
inline __m128i channel_pairs(__m128i two) { return _mm_unpacklo_epi16(two, _mm_srli_si128(two, 8)); }

template <class Sum>
inline void put(Sum* sums, __m128i s) {
  if constexpr (std::is_same_v<Sum, float>) {
    _mm_storeu_ps(sums, _mm_cvtepi32_ps(s));
  } else if constexpr (std::is_same_v<Sum, std::int16_t>) {
    // The low 16 bits of each sum, as the C row keeps them: a box sum may pass 2^15.
    const __m128i low = _mm_srai_epi32(_mm_slli_epi32(s, 16), 16);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(sums), _mm_packs_epi32(low, low));
  } else {
    store(sums, s);
  }
}

// The 32-bit rows' pair steps, one target per half step: pixels 0 and 1 of
// each window (its only two with two_pixel_pairs) weighed by weights[0], 2
// and 3 by weights[1]. Returns the targets done.
template <bool kTwoPixels, class Sum>
std::size_t horizontal_row(const std::uint8_t* row, Sum* sums, const ColumnTaps& columns, std::ptrdiff_t ahead) {
  const __m128i zero = _mm_setzero_si128();
  const std::size_t windows = kTwoPixels ? 1 : columns.axis.taps / 4, count = columns.pairs.size() / windows;
  const PairStep* step = columns.pairs.data();
  PrefetchCursor prefetch(row, nullptr, ahead);
  for (std::size_t t = 0; t < count * 2; t += 2, step += windows) {
    prefetch.reach(step->offset[1]);
    for (std::size_t h = 0; h < 2; ++h) {
      __m128i s;
      if constexpr (kTwoPixels) {
        const __m128i pixels = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + step->offset[h]));
        s = _mm_madd_epi16(channel_pairs(_mm_unpacklo_epi8(pixels, zero)), load(step->weights[0] + h * 8));
      } else {
        s = zero;
        for (std::size_t w = 0; w < windows; ++w) {
          const __m128i pixels = load(row + step[w].offset[h]);
          const __m128i first = _mm_madd_epi16(channel_pairs(_mm_unpacklo_epi8(pixels, zero)),
                                               load(step[w].weights[0] + h * 8));
          const __m128i second = _mm_madd_epi16(channel_pairs(_mm_unpackhi_epi8(pixels, zero)),
                                                load(step[w].weights[1] + h * 8));
          s = _mm_add_epi32(s, _mm_add_epi32(first, second));
        }
      }
      put(sums + (t + h) * 4, s);
    }
  }
  add_extra_taps(row, sums, columns, count * 2);
  return count * 2;
}

template <class Sum>
std::size_t horizontal(const SourceRows<Sum>& rows, const ColumnTaps& columns, std::size_t begin) {
  if (columns.pairs.empty() || begin != 0) return begin;
  const auto row = columns.two_pixel_pairs ? horizontal_row<true, Sum> : horizontal_row<false, Sum>;
  if (rows.second != nullptr) row(rows.second, rows.second_sums, columns, rows.ahead());
  return row(rows.first, rows.first_sums, columns, rows.ahead());
}

const __m128i kOpaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));

// Four targets from four registers of 32-bit quotients, one target each.
inline void store_four(std::uint8_t* out, __m128i q0, __m128i q1, __m128i q2, __m128i q3) {
  store(out, _mm_or_si128(_mm_packus_epi16(_mm_packs_epi32(q0, q1), _mm_packs_epi32(q2, q3)), kOpaque));
}

// floor(n / d) of four 32-bit lanes by LaneDivider constants.
struct LaneDivide {
  __m128i magic;
  __m128i shift;
  bool by_shift;

  explicit LaneDivide(const LaneDivider& d)
      : magic(_mm_set1_epi64x(d.magic)), shift(_mm_cvtsi32_si128(d.shift)), by_shift(d.magic == 0) {}

  __m128i operator()(__m128i n) const {
    if (by_shift) return _mm_srl_epi32(n, shift);
    // Each quotient is below 2^8, so the high half of every shifted product is 0.
    const __m128i even = _mm_srl_epi64(_mm_mul_epu32(n, magic), shift);
    const __m128i odd = _mm_srl_epi64(_mm_mul_epu32(_mm_srli_epi64(n, 32), magic), shift);
    return _mm_or_si128(even, _mm_slli_epi64(odd, 32));
  }
};

// floor(n / d) of eight 16-bit lanes by WordDivider constants.
struct WordDivide {
  __m128i magic;
  __m128i shift;

  explicit WordDivide(const WordDivider& d)
      : magic(_mm_set1_epi16(static_cast<short>(d.magic))), shift(_mm_cvtsi32_si128(d.shift)) {}

  __m128i operator()(__m128i n) const { return _mm_srl_epi16(_mm_mulhi_epu16(n, magic), shift); }
};

// floor(n / d) of four whole-number float sums below 2^24 by the AVX2 rows'
// product with the reciprocal, rounded once more without a fused
// multiply-add: within 2^-15 of the quotient, then at most 2^-17 more for the
// lift. Below a divisor of 13,000 the lift 1 / (2 divisor) still outweighs
// both, so whole quotients stay whole and fractions of at least 1 / divisor
// do not reach the next one.
struct FloatDivide {
  __m128 reciprocal, lift;

  static bool fits(const RowDivide& divide) { return divide.float_quotient && divide.divisor < 13000; }

  explicit FloatDivide(std::uint64_t divisor)
      : reciprocal(_mm_set1_ps(1.0f / static_cast<float>(divisor))),
        lift(_mm_set1_ps(0.5f / static_cast<float>(divisor))) {}

  __m128i operator()(__m128 n) const { return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(n, reciprocal), lift)); }
};

// 32-bit lines weighed in integer lanes. SSE2 has no 32-bit low product,
// but with a weight w below 2^16 in both halves of each lane, v * w modulo
// 2^32 is the 16-bit low products of both halves of v plus the high product
// of the low half moved up 16 bits (every sum stays below 2^30).
struct IntegerLanes {
  using Sum = std::uint32_t;
  using Register = __m128i;
  static bool fits(std::uint64_t weight) { return weight < 0x10000; }
  static Register splat(std::uint64_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
  static Register weight(std::uint64_t w) { return _mm_set1_epi16(static_cast<short>(w)); }
  static Register weigh(Register sum, const Sum* line, Register weight) {
    const __m128i v = load(line);
    const __m128i product = _mm_add_epi32(_mm_mullo_epi16(v, weight), _mm_slli_epi32(_mm_mulhi_epu16(v, weight), 16));
    return _mm_add_epi32(sum, product);
  }
};

// Float lines: every product and sum a whole number below 2^24, so exact.
struct FloatLanes {
  using Sum = float;
  using Register = __m128;
  static bool fits(std::uint64_t) { return true; }
  static Register splat(std::uint64_t v) { return _mm_set1_ps(static_cast<float>(v)); }
  static Register weight(std::uint64_t w) { return splat(w); }
  static Register weigh(Register sum, const Sum* line, Register weight) {
    return _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(line), weight));
  }
};

template <class Lanes, class Quotient>
std::size_t weigh_lines(const WeighedLines<typename Lanes::Sum>& lines, const RowDivide& divide,
                        std::size_t dst_width, std::uint8_t* out, std::size_t begin, Quotient quotient) {
  const auto bias = Lanes::splat(divide.bias);
  const WeighedLines<typename Lanes::Sum> l = lines;
  for (std::size_t j = 0; j < l.count; ++j) {
    if (!Lanes::fits(l.weights[j])) return begin;
  }
  std::size_t i = begin * 4;
  for (; i + 16 <= dst_width * 4; i += 16) {
    auto s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < l.count; ++j) {
      const auto w = Lanes::weight(l.weights[j]);
      const typename Lanes::Sum* at = l.lines[j] + i;
      s0 = Lanes::weigh(s0, at, w);
      s1 = Lanes::weigh(s1, at + 4, w);
      s2 = Lanes::weigh(s2, at + 8, w);
      s3 = Lanes::weigh(s3, at + 12, w);
    }
    store_four(out + i, quotient(s0), quotient(s1), quotient(s2), quotient(s3));
  }
  return i / 4;
}

}  // namespace

std::size_t horizontal16_sse2(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal(rows, columns, begin);
}

std::size_t horizontal32_sse2(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal(rows, columns, begin);
}

std::size_t horizontal_float_sse2(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal(rows, columns, begin);
}

std::size_t vertical16_sse2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin) {
  const __m128i bias = _mm_set1_epi16(static_cast<short>(divide.bias));
  const WordDivide quotient(divide.words);
  const WeighedLines<std::int16_t> l = lines;
  std::size_t i = begin * 4;
  for (; i + 16 <= dst_width * 4; i += 16) {
    __m128i a = bias, b = bias;
    for (std::size_t j = 0; j < l.count; ++j) {
      const __m128i w = _mm_set1_epi16(static_cast<short>(l.weights[j]));
      a = _mm_add_epi16(a, _mm_mullo_epi16(load(l.lines[j] + i), w));
      b = _mm_add_epi16(b, _mm_mullo_epi16(load(l.lines[j] + i + 8), w));
    }
    store(out + i, _mm_or_si128(_mm_packus_epi16(quotient(a), quotient(b)), kOpaque));
  }
  return i / 4;
}

std::size_t vertical16_to32_sse2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide,
                                 std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  const __m128i bias = _mm_set1_epi32(static_cast<int>(divide.bias));
  const LaneDivide quotient(divide.lanes);
  const WeighedLines<std::int16_t> l = lines;
  std::size_t i = begin * 4;
  for (; i + 16 <= dst_width * 4; i += 16) {
    // Lines two at a time, their values interleaved for one multiply-add.
    __m128i s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < l.count; j += 2) {
      const bool pair = j + 1 < l.count;
      const std::int16_t* a = l.lines[j] + i;
      const std::int16_t* b = pair ? l.lines[j + 1] + i : a;
      const std::uint32_t wb = pair ? l.weights[j + 1] : 0;
      const __m128i w = _mm_set1_epi32(static_cast<int>(l.weights[j] | wb << 16));
      const __m128i a0 = load(a), b0 = load(b), a1 = load(a + 8), b1 = load(b + 8);
      s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi16(a0, b0), w));
      s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi16(a0, b0), w));
      s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi16(a1, b1), w));
      s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi16(a1, b1), w));
    }
    store_four(out + i, quotient(s0), quotient(s1), quotient(s2), quotient(s3));
  }
  return i / 4;
}

std::size_t vertical32_sse2(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide,
                            std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  return weigh_lines<IntegerLanes>(lines, divide, dst_width, out, begin, LaneDivide(divide.lanes));
}

std::size_t vertical_float_sse2(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                                std::uint8_t* out, std::size_t begin) {
  if (FloatDivide::fits(divide)) {
    return weigh_lines<FloatLanes>(lines, divide, dst_width, out, begin, FloatDivide(divide.divisor));
  }
  const LaneDivide quotient(divide.lanes);
  return weigh_lines<FloatLanes>(lines, divide, dst_width, out, begin,
                                 [&](__m128 sum) { return quotient(_mm_cvttps_epi32(sum)); });
}

std::size_t box_vertical_sse2(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide,
                              std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  const WeighedLines<std::int16_t> l = lines;
  const std::uint16_t* magics = divide.magics;
  const float* reciprocals = divide.reciprocals;
  // As in the AVX2 row, with the product and the lift rounded apart: the
  // quotient still comes within 2^-13 of the exact one, far inside the lift.
  const __m128 row = _mm_set1_ps(1.0f / static_cast<float>(divide.row_count));
  const __m128 lift = _mm_set1_ps(1.0f / 512);
  const __m128i zero = _mm_setzero_si128();
  auto by_float = [&](__m128i sums, std::size_t at) {
    const __m128 n = _mm_cvtepi32_ps(sums);
    return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(n, _mm_mul_ps(_mm_loadu_ps(reciprocals + at), row)), lift));
  };
  std::size_t i = begin * 4;
  for (; i + 16 <= dst_width * 4; i += 16) {
    __m128i a = zero, b = zero;
    for (std::size_t j = 0; j < l.count; ++j) {
      a = _mm_add_epi16(a, load(l.lines[j] + i));
      b = _mm_add_epi16(b, load(l.lines[j] + i + 8));
    }
    if (magics != nullptr) {
      const __m128i qa = _mm_mulhi_epu16(_mm_add_epi16(a, a), load(magics + i));
      const __m128i qb = _mm_mulhi_epu16(_mm_add_epi16(b, b), load(magics + i + 8));
      store(out + i, _mm_or_si128(_mm_packus_epi16(qa, qb), kOpaque));
    } else {
      store_four(out + i, by_float(_mm_unpacklo_epi16(a, zero), i), by_float(_mm_unpackhi_epi16(a, zero), i + 4),
                 by_float(_mm_unpacklo_epi16(b, zero), i + 8), by_float(_mm_unpackhi_epi16(b, zero), i + 12));
    }
  }
  return i / 4;
}

std::size_t vertical8_sse2(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin) {
  const WeighedLines<std::uint8_t> r = rows;
  const __m128i bias = _mm_set1_epi16(static_cast<short>(divide.bias)), zero = _mm_setzero_si128();
  const WordDivide quotient(divide.words);
  const std::ptrdiff_t ahead = rows_ahead(r, dst_width);
  std::size_t i = begin * 4;
  for (; i + 16 <= dst_width * 4; i += 16) {
    __m128i lo = bias, hi = bias;
    for (std::size_t j = 0; j < r.count; ++j) {
      if (i % 64 == 0) prefetch_ahead(r.lines[j] + i, ahead);
      const __m128i v = load(r.lines[j] + i), w = _mm_set1_epi16(static_cast<short>(r.weights[j]));
      lo = _mm_add_epi16(lo, _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), w));
      hi = _mm_add_epi16(hi, _mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), w));
    }
    store(out + i, _mm_or_si128(_mm_packus_epi16(quotient(lo), quotient(hi)), kOpaque));
  }
  return i / 4;
}

std::size_t weigh_rows_sse2(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                            std::size_t begin) {
  const std::size_t end = begin * 4 + (width - begin) / 4 * 16;
  const std::ptrdiff_t ahead = rows_ahead(rows, width);
  const __m128i zero = _mm_setzero_si128();
  // Rows two at a time, each pair over the whole line, into the sums of the rows before it.
  for (std::size_t j = 0; j < rows.count; j += 2) {
    const std::uint8_t* a = rows.lines[j];
    const std::uint8_t* b = rows.lines[j + 1 < rows.count ? j + 1 : j];
    const __m128i wa = _mm_set1_epi16(static_cast<short>(rows.weights[j]));
    const __m128i wb = _mm_set1_epi16(static_cast<short>(j + 1 < rows.count ? rows.weights[j + 1] : 0));
    auto weigh = [&](__m128i x, __m128i y) { return _mm_add_epi16(_mm_mullo_epi16(x, wa), _mm_mullo_epi16(y, wb)); };
    for (std::size_t i = begin * 4; i < end; i += 16) {
      if (i % 64 == 0) {
        prefetch_ahead(a + i, ahead);
        prefetch_ahead(b + i, ahead);
      }
      const __m128i x = load(a + i), y = load(b + i);
      __m128i lo = weigh(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero));
      __m128i hi = weigh(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero));
      if (j > 0) {
        lo = _mm_add_epi16(lo, load(line + i));
        hi = _mm_add_epi16(hi, load(line + i + 8));
      }
      store(line + i, lo);
      store(line + i + 8, hi);
    }
  }
  return end / 4;
}

namespace {

// Four targets at a time, one per half pair step, from the 16-bit lines.
template <bool kTwoPixels, bool kTwo, class Quotient>
std::size_t weigh_columns(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                          std::size_t begin, Quotient quotient) {
  const __m128i bias = _mm_set1_epi32(static_cast<int>(divide.bias)), zero = _mm_setzero_si128();
  const std::int16_t* a = lines.first;
  const std::int16_t* b = lines.second;
  std::uint8_t* out_a = lines.first_out;
  std::uint8_t* out_b = lines.second_out;
  const std::size_t windows = kTwoPixels ? 1 : columns.axis.taps / 4, groups = columns.pairs.size() / windows / 2;
  const PairStep* step = columns.pairs.data() + begin / 2 * windows;
  const ColumnTaps::ExtraTap* extra = columns.extra_taps.data();
  const ColumnTaps::ExtraTap* extras_end = extra + columns.extra_taps.size();
  while (extra != extras_end && extra->target < begin) ++extra;
  struct Quotients {
    __m128i a, b;
  };
  // Target t, half h of `steps`, of both lines; kept inline, so that the
  // sums stay in registers.
  auto weigh = [&](const PairStep* steps, std::size_t t, std::size_t h) __attribute__((always_inline)) {
    __m128i sa = bias, sb = bias;
    for (std::size_t w = 0; w < windows; ++w) {
      const std::uint32_t at = steps[w].offset[h];
      const __m128i w0 = load(steps[w].weights[0] + h * 8);
      sa = _mm_add_epi32(sa, _mm_madd_epi16(channel_pairs(load(a + at)), w0));
      if constexpr (kTwo) sb = _mm_add_epi32(sb, _mm_madd_epi16(channel_pairs(load(b + at)), w0));
      if constexpr (!kTwoPixels) {
        const __m128i w1 = load(steps[w].weights[1] + h * 8);
        sa = _mm_add_epi32(sa, _mm_madd_epi16(channel_pairs(load(a + at + 8)), w1));
        if constexpr (kTwo) sb = _mm_add_epi32(sb, _mm_madd_epi16(channel_pairs(load(b + at + 8)), w1));
      }
    }
    for (; extra != extras_end && extra->target == t; ++extra) {
      const __m128i weight = _mm_set1_epi32(static_cast<int>(extra->weight));
      auto third = [&](const std::int16_t* line) {
        const auto* at = reinterpret_cast<const __m128i*>(line + extra->offset);
        return _mm_madd_epi16(_mm_unpacklo_epi16(_mm_loadl_epi64(at), zero), weight);
      };
      sa = _mm_add_epi32(sa, third(a));
      if constexpr (kTwo) sb = _mm_add_epi32(sb, third(b));
    }
    return Quotients{quotient(sa), kTwo ? quotient(sb) : sb};
  };
  std::size_t g = begin / 4;
  for (; g < groups; ++g, step += 2 * windows) {
    const Quotients q0 = weigh(step, g * 4, 0), q1 = weigh(step, g * 4 + 1, 1);
    const Quotients q2 = weigh(step + windows, g * 4 + 2, 0), q3 = weigh(step + windows, g * 4 + 3, 1);
    store_four(out_a + g * 16, q0.a, q1.a, q2.a, q3.a);
    if constexpr (kTwo) store_four(out_b + g * 16, q0.b, q1.b, q2.b, q3.b);
  }
  return g * 4;
}

template <class Quotient>
std::size_t weigh_columns(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                          std::size_t begin, Quotient quotient) {
  return by_layout(columns, lines, [&](auto two_pixels, auto two) {
    return weigh_columns<two_pixels, two>(lines, columns, divide, begin, quotient);
  });
}

}  // namespace

std::size_t weigh_columns_sse2(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                               std::size_t begin) {
  if (begin % 4 != 0 || columns.pairs.empty()) return begin;
  if (FloatDivide::fits(divide)) {
    const FloatDivide quotient(divide.divisor);
    return weigh_columns(lines, columns, divide, begin, [=](__m128i sum) { return quotient(_mm_cvtepi32_ps(sum)); });
  }
  return weigh_columns(lines, columns, divide, begin, LaneDivide(divide.lanes));
}

}  // namespace nimbra::detail
