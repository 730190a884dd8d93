// AVX2 rows of any-ratio resampling. The horizontal rows load a window of
// source pixels into each 128-bit lane and let a byte shuffle pair up the
// pixels of each channel for the multiply-adds; the vertical rows weigh
// whole lines and divide by multiplying.
#include <immintrin.h>

#include <type_traits>

#include "pixels/resample_rows.h"

namespace nimbra::detail {
namespace {

inline __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// 16 bytes at `a` in lane 0, 16 at `b` in lane 1.
inline __m256i windows16(const std::uint8_t* row, std::uint32_t a, std::uint32_t b) {
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + a));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + b));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
}

// 8 bytes at `a` in lane 0, 8 at `b` in lane 1 (the rest of each lane unused).
inline __m256i windows8(const std::uint8_t* row, std::uint32_t a, std::uint32_t b) {
  const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + a));
  const __m256i second = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + b)));
  return _mm256_blend_epi32(_mm256_castsi128_si256(first), second, 0xF0);
}

inline __m256i opaque() { return _mm256_set1_epi32(static_cast<int>(0xFF000000u)); }

// floor(n / d) of eight 32-bit lanes by LaneDivider constants, kept in
// registers across a row.
struct LaneDivide {
  __m256i magic;
  __m128i shift;
  bool by_shift;

  explicit LaneDivide(const LaneDivider& d)
      : magic(_mm256_set1_epi64x(d.magic)), shift(_mm_cvtsi32_si128(d.shift)), by_shift(d.magic == 0) {}

  __m256i operator()(__m256i n) const {
    if (by_shift) return _mm256_srl_epi32(n, shift);
    const __m256i even = _mm256_srl_epi64(_mm256_mul_epu32(n, magic), shift);
    const __m256i odd = _mm256_srl_epi64(_mm256_mul_epu32(_mm256_srli_epi64(n, 32), magic), shift);
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
  }
};

// floor(n / d) of sixteen 16-bit lanes by WordDivider constants: the high
// half of one product, shifted.
struct WordDivide {
  __m256i magic;
  __m128i shift;

  explicit WordDivide(const WordDivider& d)
      : magic(_mm256_set1_epi16(static_cast<short>(d.magic))), shift(_mm_cvtsi32_si128(d.shift)) {}

  __m256i operator()(__m256i n) const { return _mm256_srl_epi16(_mm256_mulhi_epu16(n, magic), shift); }
};

// floor(n / d) of eight whole-number float sums below 2^24, for a divisor
// below 16,000: the product with the rounded reciprocal is within 2^-15 of
// the quotient, whose fraction when not 0 is at least 1 / divisor; adding
// 1 / (2 divisor) lifts exact quotients that came out just below without
// reaching the next one.
struct FloatDivide {
  __m256 reciprocal, lift;

  explicit FloatDivide(std::uint64_t divisor)
      : reciprocal(_mm256_set1_ps(1.0f / static_cast<float>(divisor))),
        lift(_mm256_set1_ps(0.5f / static_cast<float>(divisor))) {}

  __m256i operator()(__m256 n) const { return _mm256_cvttps_epi32(_mm256_fmadd_ps(n, reciprocal, lift)); }
};

// Rows j and j + 1 (or j alone, the second weight 0) as a pair of byte
// weights, for multiply-adds of their bytes interleaved.
inline __m256i byte_pair_weights(const WeighedLines<std::uint8_t>& rows, std::size_t j) {
  const std::uint32_t second = j + 1 < rows.count ? rows.weights[j + 1] : 0;
  return _mm256_set1_epi16(static_cast<short>(rows.weights[j] | second << 8));
}

// Eight targets from four registers of 32-bit quotients, targets (0 | 1),
// (2 | 3), (4 | 5), (6 | 7) by 128-bit lane.
inline void store_eight(std::uint8_t* out, __m256i q0, __m256i q1, __m256i q2, __m256i q3) {
  const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(q0, q1), _mm256_packus_epi32(q2, q3));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  store(out, _mm256_or_si256(_mm256_permutevar8x32_epi32(bytes, order), opaque()));
}

// Eight targets from two registers of 16-bit quotients, targets 0-3 and 4-7.
inline void store_eight(std::uint8_t* out, __m256i first, __m256i second) {
  store(out, _mm256_or_si256(_mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8), opaque()));
}

template <class Sum>
inline void put(Sum* sums, __m256i s) {
  if constexpr (std::is_same_v<Sum, float>) {
    _mm256_storeu_ps(sums, _mm256_cvtepi32_ps(s));
  } else {
    store(sums, s);
  }
}

// One row (kTwo false) or two rows sharing each step's loads.
template <bool kTwo, class Sum>
std::size_t horizontal32(const SourceRows<Sum>& rows, const ColumnTaps& columns, std::size_t begin) {
  // Per lane: channel k of pixels 0 and 1 (then 2 and 3) as 16-bit pairs.
  const __m256i low = _mm256_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1,  //
                                       0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
  const __m256i high = _mm256_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1,  //
                                        8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
  const std::uint8_t* a = rows.first;
  const std::uint8_t* b = rows.second;
  Sum* sums_a = rows.first_sums;
  Sum* sums_b = rows.second_sums;
  const bool two_pixels = columns.two_pixel_pairs;
  const std::size_t windows = two_pixels ? 1 : columns.axis.taps / 4, count = columns.pairs.size() / windows;
  const PairStep* step = columns.pairs.data() + begin / 2 * windows;
  PrefetchCursor prefetch(a, b, rows.ahead());
  std::size_t p = begin / 2;
  for (; p < count; ++p) {
    prefetch.reach(step->offset[1]);
    if (two_pixels) {
      const __m256i w = load(step->weights[0]);
      auto sums = [&](const std::uint8_t* row) {
        return _mm256_madd_epi16(_mm256_shuffle_epi8(windows8(row, step->offset[0], step->offset[1]), low), w);
      };
      put(sums_a + p * 8, sums(a));
      if constexpr (kTwo) put(sums_b + p * 8, sums(b));
      ++step;
      continue;
    }
    __m256i sa = _mm256_setzero_si256(), sb = sa;
    for (std::size_t w = 0; w < windows; ++w, ++step) {
      const __m256i w0 = load(step->weights[0]), w1 = load(step->weights[1]);
      const __m256i wa = windows16(a, step->offset[0], step->offset[1]);
      sa = _mm256_add_epi32(sa, _mm256_madd_epi16(_mm256_shuffle_epi8(wa, low), w0));
      sa = _mm256_add_epi32(sa, _mm256_madd_epi16(_mm256_shuffle_epi8(wa, high), w1));
      if constexpr (kTwo) {
        const __m256i wb = windows16(b, step->offset[0], step->offset[1]);
        sb = _mm256_add_epi32(sb, _mm256_madd_epi16(_mm256_shuffle_epi8(wb, low), w0));
        sb = _mm256_add_epi32(sb, _mm256_madd_epi16(_mm256_shuffle_epi8(wb, high), w1));
      }
    }
    put(sums_a + p * 8, sa);
    if constexpr (kTwo) put(sums_b + p * 8, sb);
  }
  add_extra_taps(a, sums_a, columns, p * 2);
  if constexpr (kTwo) add_extra_taps(b, sums_b, columns, p * 2);
  return p * 2;
}

template <class Sum>
std::size_t horizontal32(const SourceRows<Sum>& rows, const ColumnTaps& columns, std::size_t begin) {
  if (columns.pairs.empty() || begin % 2 != 0) return begin;
  return rows.second != nullptr ? horizontal32<true>(rows, columns, begin) : horizontal32<false>(rows, columns, begin);
}

template <bool kTwo>
std::size_t horizontal16(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  const std::uint8_t* a = rows.first;
  const std::uint8_t* b = rows.second;
  std::int16_t* sums_a = rows.first_sums;
  std::int16_t* sums_b = rows.second_sums;
  if (!columns.shared.empty()) {
    // The table in locals, and each step's offsets read before the stores,
    // which could otherwise alias them.
    const SharedStep* shared = columns.shared.data();
    const std::size_t groups = columns.shared.size();
    PrefetchCursor prefetch(a, b, rows.ahead());
    std::size_t g = begin / 4;
    for (; g < groups; ++g) {
      const SharedStep& step = shared[g];
      const std::uint32_t first = step.offset[0], second = step.offset[1];
      prefetch.reach(second);
      const __m256i shuffle = load(step.shuffle), weights = load(step.weights);
      const __m256i pa = _mm256_shuffle_epi8(windows16(a, first, second), shuffle);
      const __m256i pb = kTwo ? _mm256_shuffle_epi8(windows16(b, first, second), shuffle) : pa;
      store(sums_a + g * 16, _mm256_maddubs_epi16(pa, weights));
      if constexpr (kTwo) store(sums_b + g * 16, _mm256_maddubs_epi16(pb, weights));
    }
    return g * 4;
  }
  // Per lane: channel k of pixels 0 and 1, then of pixels 2 and 3.
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const std::size_t windows = columns.axis.taps / 4, groups = columns.quads.size() / windows;
  const QuadStep* step = columns.quads.data() + begin / 4 * windows;
  PrefetchCursor prefetch(a, b, rows.ahead());
  std::size_t g = begin / 4;
  for (; g < groups; ++g) {
    prefetch.reach(step->offset[3]);
    // Lanes of x: targets 0 and 2 of the group; of y: 1 and 3.
    __m256i xa = _mm256_setzero_si256(), ya = xa, xb = xa, yb = xa;
    for (std::size_t w = 0; w < windows; ++w, ++step) {
      const __m256i wx = load(step->weights[0]), wy = load(step->weights[1]);
      xa = _mm256_add_epi16(xa, _mm256_maddubs_epi16(
                                    _mm256_shuffle_epi8(windows16(a, step->offset[0], step->offset[1]), pairs), wx));
      ya = _mm256_add_epi16(ya, _mm256_maddubs_epi16(
                                    _mm256_shuffle_epi8(windows16(a, step->offset[2], step->offset[3]), pairs), wy));
      if constexpr (kTwo) {
        xb = _mm256_add_epi16(
            xb, _mm256_maddubs_epi16(_mm256_shuffle_epi8(windows16(b, step->offset[0], step->offset[1]), pairs), wx));
        yb = _mm256_add_epi16(
            yb, _mm256_maddubs_epi16(_mm256_shuffle_epi8(windows16(b, step->offset[2], step->offset[3]), pairs), wy));
      }
    }
    // Pixels 0 and 1 plus 2 and 3 of each target, in target order.
    store(sums_a + g * 16, _mm256_add_epi16(_mm256_unpacklo_epi64(xa, ya), _mm256_unpackhi_epi64(xa, ya)));
    if constexpr (kTwo) {
      store(sums_b + g * 16, _mm256_add_epi16(_mm256_unpacklo_epi64(xb, yb), _mm256_unpackhi_epi64(xb, yb)));
    }
  }
  return g * 4;
}

}  // namespace

std::size_t horizontal16_avx2(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  if (begin % 4 != 0 || (columns.shared.empty() && columns.quads.empty())) return begin;
  return rows.second != nullptr ? horizontal16<true>(rows, columns, begin) : horizontal16<false>(rows, columns, begin);
}

std::size_t horizontal32_avx2(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal32(rows, columns, begin);
}

std::size_t horizontal_float_avx2(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal32(rows, columns, begin);
}

// The vertical rows take the weights and line addresses into locals first:
// the byte stores to `out` could otherwise alias them.
std::size_t vertical16_avx2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin) {
  // Sums stay below 2^16 (the plan checks), so 16-bit products and adds
  // wrap nowhere.
  const __m256i bias = _mm256_set1_epi16(static_cast<short>(divide.bias));
  const WordDivide quotient(divide.words);
  const std::size_t count = lines.count;
  const std::int16_t* const* line = lines.lines;
  const std::uint32_t* weights = lines.weights;
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    __m256i a = bias, b = bias;
    for (std::size_t j = 0; j < count; ++j) {
      const __m256i w = _mm256_set1_epi16(static_cast<short>(weights[j]));
      a = _mm256_add_epi16(a, _mm256_mullo_epi16(load(line[j] + i), w));
      b = _mm256_add_epi16(b, _mm256_mullo_epi16(load(line[j] + i + 16), w));
    }
    store_eight(out + i, quotient(a), quotient(b));
  }
  return i / 4;
}

std::size_t vertical16_to32_avx2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide,
                                 std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  const __m256i bias = _mm256_set1_epi32(static_cast<int>(divide.bias));
  const LaneDivide quotient(divide.lanes);
  const std::size_t count = lines.count;
  const std::int16_t* const* line = lines.lines;
  const std::uint32_t* weights = lines.weights;
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    // Lines two at a time, their 16-bit values interleaved for one
    // multiply-add: low halves hold targets 0 | 2 (4 | 6), high ones 1 | 3.
    __m256i s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < count; j += 2) {
      const bool pair = j + 1 < count;
      const std::int16_t* a = line[j] + i;
      const std::int16_t* b = pair ? line[j + 1] + i : a;
      const std::uint32_t wb = pair ? weights[j + 1] : 0;
      const __m256i w = _mm256_set1_epi32(static_cast<int>(weights[j] | wb << 16));
      const __m256i a0 = load(a), b0 = load(b), a1 = load(a + 16), b1 = load(b + 16);
      s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi16(a0, b0), w));
      s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi16(a0, b0), w));
      s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi16(a1, b1), w));
      s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi16(a1, b1), w));
    }
    // packus of (low, high) restores target order within each half.
    store_eight(out + i, _mm256_packus_epi32(quotient(s0), quotient(s1)),
                _mm256_packus_epi32(quotient(s2), quotient(s3)));
  }
  return i / 4;
}

namespace {

// 32-bit lines weighed in integer lanes.
struct IntegerLanes {
  using Sum = std::uint32_t;
  using Register = __m256i;
  static Register splat(std::uint64_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
  static Register weigh(Register sum, const Sum* line, Register weight) {
    return _mm256_add_epi32(sum, _mm256_mullo_epi32(load(line), weight));
  }
};

// Float lines: every product and sum a whole number below 2^24, so exact.
struct FloatLanes {
  using Sum = float;
  using Register = __m256;
  static Register splat(std::uint64_t v) { return _mm256_set1_ps(static_cast<float>(v)); }
  static Register weigh(Register sum, const Sum* line, Register weight) {
    return _mm256_fmadd_ps(_mm256_loadu_ps(line), weight, sum);
  }
};

template <class Lanes, class Quotient>
std::size_t weigh_lines(const WeighedLines<typename Lanes::Sum>& lines, const RowDivide& divide,
                        std::size_t dst_width, std::uint8_t* out, std::size_t begin, Quotient quotient) {
  const auto bias = Lanes::splat(divide.bias);
  const std::size_t count = lines.count;
  const typename Lanes::Sum* const* line = lines.lines;
  const std::uint32_t* weights = lines.weights;
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    auto s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < count; ++j) {
      const auto w = Lanes::splat(weights[j]);
      const typename Lanes::Sum* l = line[j] + i;
      s0 = Lanes::weigh(s0, l, w);
      s1 = Lanes::weigh(s1, l + 8, w);
      s2 = Lanes::weigh(s2, l + 16, w);
      s3 = Lanes::weigh(s3, l + 24, w);
    }
    store_eight(out + i, quotient(s0), quotient(s1), quotient(s2), quotient(s3));
  }
  return i / 4;
}

}  // namespace

std::size_t vertical32_avx2(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide,
                            std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  return weigh_lines<IntegerLanes>(lines, divide, dst_width, out, begin, LaneDivide(divide.lanes));
}

std::size_t vertical_float_avx2(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                                std::uint8_t* out, std::size_t begin) {
  // Larger divisors divide in 32-bit lanes.
  if (divide.float_quotient) {
    return weigh_lines<FloatLanes>(lines, divide, dst_width, out, begin, FloatDivide(divide.divisor));
  }
  const LaneDivide quotient(divide.lanes);
  return weigh_lines<FloatLanes>(lines, divide, dst_width, out, begin,
                                 [&](__m256 sum) { return quotient(_mm256_cvttps_epi32(sum)); });
}

std::size_t box_vertical_avx2(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide,
                              std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  const std::size_t count = lines.count;
  const std::int16_t* const* line = lines.lines;
  const std::uint16_t* magics = divide.magics;
  const float* reciprocals = divide.reciprocals;
  // Sums below 2^16 and divisors up to 257 (the plan checks): the float
  // product with the rounded reciprocals is within 2^-14 of the quotient,
  // whose fraction, when not 0, is at least 1 / 257; adding 2^-9 lifts exact
  // quotients that came out just below without reaching the next one.
  const __m256 row = _mm256_set1_ps(1.0f / static_cast<float>(divide.row_count));
  const __m256 lift = _mm256_set1_ps(1.0f / 512);
  auto by_float = [&](__m128i sums, std::size_t at) {
    const __m256 n = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(sums));
    const __m256 r = _mm256_mul_ps(_mm256_loadu_ps(reciprocals + at), row);
    return _mm256_cvttps_epi32(_mm256_fmadd_ps(n, r, lift));
  };
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    __m256i a = _mm256_setzero_si256(), b = a;
    for (std::size_t j = 0; j < count; ++j) {
      a = _mm256_add_epi16(a, load(line[j] + i));
      b = _mm256_add_epi16(b, load(line[j] + i + 16));
    }
    if (magics != nullptr) {
      store_eight(out + i, _mm256_mulhi_epu16(_mm256_add_epi16(a, a), load(magics + i)),
                  _mm256_mulhi_epu16(_mm256_add_epi16(b, b), load(magics + i + 16)));
    } else {
      store_eight(out + i, by_float(_mm256_castsi256_si128(a), i), by_float(_mm256_extracti128_si256(a, 1), i + 8),
                  by_float(_mm256_castsi256_si128(b), i + 16), by_float(_mm256_extracti128_si256(b, 1), i + 24));
    }
  }
  return i / 4;
}

std::size_t vertical8_avx2(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin) {
  // Rows two at a time, their bytes interleaved for one byte multiply-add;
  // the pack at the end puts the halves back in order.
  constexpr std::size_t kMostPairs = 64;
  const std::size_t pairs = (rows.count + 1) / 2;
  if (pairs > kMostPairs) return begin;
  __m256i weights[kMostPairs];
  const std::uint8_t* row[2 * kMostPairs];
  for (std::size_t j = 0; j < rows.count; j += 2) {
    row[j] = rows.lines[j];
    row[j + 1] = rows.lines[j + 1 < rows.count ? j + 1 : j];
    weights[j / 2] = byte_pair_weights(rows, j);
  }
  const __m256i bias = _mm256_set1_epi16(static_cast<short>(divide.bias));
  const WordDivide quotient(divide.words);
  const std::ptrdiff_t ahead = rows_ahead(rows, dst_width);
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    __m256i lo = bias, hi = bias;
    if (i % 64 == 0) {
      for (std::size_t j = 0; j < rows.count; ++j) prefetch_ahead(row[j] + i, ahead);
    }
    for (std::size_t k = 0; k < pairs; ++k) {
      const __m256i a = load(row[2 * k] + i), b = load(row[2 * k + 1] + i);
      lo = _mm256_add_epi16(lo, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), weights[k]));
      hi = _mm256_add_epi16(hi, _mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), weights[k]));
    }
    store(out + i, _mm256_or_si256(_mm256_packus_epi16(quotient(lo), quotient(hi)), opaque()));
  }
  return i / 4;
}

std::size_t weigh_rows_avx2(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                            std::size_t begin) {
  const std::size_t end = begin * 4 + (width - begin) / 8 * 32;
  const std::ptrdiff_t ahead = rows_ahead(rows, width);
  // Rows two at a time, their bytes interleaved for one byte multiply-add
  // (each pair's weights add up to less than 128), each pair over the whole
  // line: lo holds values 0-7 | 16-23, hi 8-15 | 24-31.
  for (std::size_t j = 0; j < rows.count; j += 2) {
    const std::uint8_t* a = rows.lines[j];
    const std::uint8_t* b = rows.lines[j + 1 < rows.count ? j + 1 : j];
    const __m256i w = byte_pair_weights(rows, j);
    for (std::size_t i = begin * 4; i < end; i += 32) {
      if (i % 64 == 0) {
        prefetch_ahead(a + i, ahead);
        prefetch_ahead(b + i, ahead);
      }
      const __m256i x = load(a + i), y = load(b + i);
      __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(x, y), w);
      __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(x, y), w);
      __m256i first = _mm256_permute2x128_si256(lo, hi, 0x20), second = _mm256_permute2x128_si256(lo, hi, 0x31);
      if (j > 0) {
        first = _mm256_add_epi16(first, load(line + i));
        second = _mm256_add_epi16(second, load(line + i + 16));
      }
      store(line + i, first);
      store(line + i + 16, second);
    }
  }
  return end / 4;
}

namespace {

// Eight targets at a time, two per pair step: each lane takes a window's
// 16-bit pixels 0 and 1 (then 2 and 3), pairs them per channel and weighs
// them in one multiply-add.
template <bool kTwoPixels, bool kTwo, class Quotient>
std::size_t weigh_columns(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                          std::size_t begin, Quotient quotient) {
  const __m256i pairs = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                                         0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i bias = _mm256_set1_epi32(static_cast<int>(divide.bias));
  const auto* a = reinterpret_cast<const std::uint8_t*>(lines.first);
  const auto* b = reinterpret_cast<const std::uint8_t*>(lines.second);
  std::uint8_t* out_a = lines.first_out;
  std::uint8_t* out_b = lines.second_out;
  const std::size_t windows = kTwoPixels ? 1 : columns.axis.taps / 4, groups = columns.pairs.size() / windows / 4;
  const PairStep* step = columns.pairs.data() + begin / 2 * windows;
  const ColumnTaps::ExtraTap* extra = columns.extra_taps.data();
  const ColumnTaps::ExtraTap* extras_end = extra + columns.extra_taps.size();
  while (extra != extras_end && extra->target < begin) ++extra;
  // Targets t and t + 1 by lane, of both lines; kept inline, so that the
  // sums stay in registers.
  struct Quotients {
    __m256i a, b;
  };
  auto weigh_pair = [&](std::size_t t, auto extras) __attribute__((always_inline)) {
    __m256i sa = bias, sb = bias;
    for (std::size_t w = 0; w < windows; ++w, ++step) {
      const std::uint32_t first = step->line_offset[0], second = step->line_offset[1];
      const __m256i w0 = load(step->weights[0]);
      sa = _mm256_add_epi32(sa, _mm256_madd_epi16(_mm256_shuffle_epi8(windows16(a, first, second), pairs), w0));
      if constexpr (kTwo) {
        sb = _mm256_add_epi32(sb, _mm256_madd_epi16(_mm256_shuffle_epi8(windows16(b, first, second), pairs), w0));
      }
      if constexpr (!kTwoPixels) {
        const __m256i w1 = load(step->weights[1]);
        sa = _mm256_add_epi32(
            sa, _mm256_madd_epi16(_mm256_shuffle_epi8(windows16(a, first + 16, second + 16), pairs), w1));
        if constexpr (kTwo) {
          sb = _mm256_add_epi32(
              sb, _mm256_madd_epi16(_mm256_shuffle_epi8(windows16(b, first + 16, second + 16), pairs), w1));
        }
      }
    }
    // A third pixel's four values, weighed, into its target's lane.
    for (; extras && extra != extras_end && extra->target < t + 2; ++extra) {
      const __m128i weight = _mm_set1_epi32(static_cast<int>(extra->weight));
      auto third = [&](const std::uint8_t* line) {
        const auto* at = reinterpret_cast<const __m128i*>(line + extra->offset * 2);
        const __m128i weighed = _mm_madd_epi16(_mm_cvtepu16_epi32(_mm_loadl_epi64(at)), weight);
        return extra->target == t ? _mm256_zextsi128_si256(weighed)
                                  : _mm256_inserti128_si256(_mm256_setzero_si256(), weighed, 1);
      };
      sa = _mm256_add_epi32(sa, third(a));
      if constexpr (kTwo) sb = _mm256_add_epi32(sb, third(b));
    }
    return Quotients{quotient(sa), kTwo ? quotient(sb) : sb};
  };
  // Groups without extra taps skip looking for them.
  auto group = [&](std::size_t g, auto extras) __attribute__((always_inline)) {
    const Quotients q0 = weigh_pair(g * 8, extras), q1 = weigh_pair(g * 8 + 2, extras);
    const Quotients q2 = weigh_pair(g * 8 + 4, extras), q3 = weigh_pair(g * 8 + 6, extras);
    store_eight(out_a + g * 32, q0.a, q1.a, q2.a, q3.a);
    if constexpr (kTwo) store_eight(out_b + g * 32, q0.b, q1.b, q2.b, q3.b);
  };
  std::size_t g = begin / 8;
  for (; g < groups; ++g) {
    if (extra != extras_end && extra->target < g * 8 + 8) {
      group(g, std::true_type{});
    } else {
      group(g, std::false_type{});
    }
  }
  return g * 8;
}

template <class Quotient>
std::size_t weigh_columns(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                          std::size_t begin, Quotient quotient) {
  return by_layout(columns, lines, [&](auto two_pixels, auto two) {
    return weigh_columns<two_pixels, two>(lines, columns, divide, begin, quotient);
  });
}

}  // namespace

std::size_t weigh_columns_avx2(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                               std::size_t begin) {
  if (begin % 8 != 0 || columns.pairs.empty()) return begin;
  if (divide.float_quotient) {
    const FloatDivide quotient(divide.divisor);
    return weigh_columns(lines, columns, divide, begin, [=](__m256i sum) { return quotient(_mm256_cvtepi32_ps(sum)); });
  }
  return weigh_columns(lines, columns, divide, begin, LaneDivide(divide.lanes));
}

}  // namespace nimbra::detail
