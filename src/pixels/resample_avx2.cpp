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
  return _mm256_blend_epi32(_mm256_castsi128_si256(first), _mm256_broadcastsi128_si256(second), 0xF0);
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
std::size_t horizontal32(const std::uint8_t* row, const ColumnTaps& columns, Sum* sums, std::size_t begin) {
  if (columns.pairs.empty() || begin % 2 != 0) return begin;
  // Per lane: channel k of pixels 0 and 1 (then 2 and 3) as 16-bit pairs.
  const __m256i low = _mm256_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1,  //
                                       0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
  const __m256i high = _mm256_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1,  //
                                        8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
  const bool two_pixels = columns.two_pixel_pairs;
  const std::size_t windows = two_pixels ? 1 : columns.axis.taps / 4, count = columns.pairs.size() / windows;
  const PairStep* step = columns.pairs.data() + begin / 2 * windows;
  std::size_t p = begin / 2;
  for (; p < count; ++p) {
    __m256i s;
    if (two_pixels) {
      s = _mm256_madd_epi16(_mm256_shuffle_epi8(windows8(row, step->offset[0], step->offset[1]), low),
                            load(step->weights[0]));
      ++step;
    } else {
      s = _mm256_setzero_si256();
      for (std::size_t w = 0; w < windows; ++w, ++step) {
        const __m256i win = windows16(row, step->offset[0], step->offset[1]);
        s = _mm256_add_epi32(s, _mm256_madd_epi16(_mm256_shuffle_epi8(win, low), load(step->weights[0])));
        s = _mm256_add_epi32(s, _mm256_madd_epi16(_mm256_shuffle_epi8(win, high), load(step->weights[1])));
      }
    }
    if constexpr (std::is_same_v<Sum, float>) {
      _mm256_storeu_ps(sums + p * 8, _mm256_cvtepi32_ps(s));
    } else {
      store(sums + p * 8, s);
    }
  }
  return p * 2;
}

}  // namespace

std::size_t horizontal16_avx2(const std::uint8_t* row, const ColumnTaps& columns, std::int16_t* sums,
                              std::size_t begin) {
  if (begin % 4 != 0) return begin;
  if (!columns.shared.empty()) {
    std::size_t g = begin / 4;
    for (; g < columns.shared.size(); ++g) {
      const SharedStep& step = columns.shared[g];
      const __m256i pairs = _mm256_shuffle_epi8(windows16(row, step.offset[0], step.offset[1]), load(step.shuffle));
      store(sums + g * 16, _mm256_maddubs_epi16(pairs, load(step.weights)));
    }
    return g * 4;
  }
  if (columns.quads.empty()) return begin;
  // Per lane: channel k of pixels 0 and 1, then of pixels 2 and 3.
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const std::size_t windows = columns.axis.taps / 4, groups = columns.quads.size() / windows;
  const QuadStep* step = columns.quads.data() + begin / 4 * windows;
  std::size_t g = begin / 4;
  for (; g < groups; ++g) {
    // Lanes of x: targets 0 and 2 of the group; of y: 1 and 3.
    __m256i x = _mm256_setzero_si256(), y = x;
    for (std::size_t w = 0; w < windows; ++w, ++step) {
      const __m256i wx = _mm256_shuffle_epi8(windows16(row, step->offset[0], step->offset[1]), pairs);
      const __m256i wy = _mm256_shuffle_epi8(windows16(row, step->offset[2], step->offset[3]), pairs);
      x = _mm256_add_epi16(x, _mm256_maddubs_epi16(wx, load(step->weights[0])));
      y = _mm256_add_epi16(y, _mm256_maddubs_epi16(wy, load(step->weights[1])));
    }
    // Pixels 0 and 1 plus 2 and 3 of each target, in target order.
    store(sums + g * 16, _mm256_add_epi16(_mm256_unpacklo_epi64(x, y), _mm256_unpackhi_epi64(x, y)));
  }
  return g * 4;
}

std::size_t horizontal32_avx2(const std::uint8_t* row, const ColumnTaps& columns, std::uint32_t* sums,
                              std::size_t begin) {
  return horizontal32(row, columns, sums, begin);
}

std::size_t horizontal_float_avx2(const std::uint8_t* row, const ColumnTaps& columns, float* sums,
                                  std::size_t begin) {
  return horizontal32(row, columns, sums, begin);
}

// The vertical rows take the weights and line addresses into locals first:
// the byte stores to `out` could otherwise alias them.
std::size_t vertical16_avx2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin) {
  // Sums stay below 2^16 (the plan checks), so 16-bit products and adds
  // wrap nowhere; the quotient is the high half of one product, shifted.
  const __m256i bias = _mm256_set1_epi16(static_cast<short>(divide.bias));
  const __m256i magic = _mm256_set1_epi16(static_cast<short>(divide.words.magic));
  const __m128i shift = _mm_cvtsi32_si128(divide.words.shift);
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
    store_eight(out + i, _mm256_srl_epi16(_mm256_mulhi_epu16(a, magic), shift),
                _mm256_srl_epi16(_mm256_mulhi_epu16(b, magic), shift));
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

std::size_t vertical32_avx2(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide,
                            std::size_t dst_width, std::uint8_t* out, std::size_t begin) {
  const __m256i bias = _mm256_set1_epi32(static_cast<int>(divide.bias));
  const LaneDivide quotient(divide.lanes);
  const std::size_t count = lines.count;
  const std::uint32_t* const* line = lines.lines;
  const std::uint32_t* weights = lines.weights;
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    __m256i s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < count; ++j) {
      const __m256i w = _mm256_set1_epi32(static_cast<int>(weights[j]));
      const std::uint32_t* l = line[j] + i;
      s0 = _mm256_add_epi32(s0, _mm256_mullo_epi32(load(l), w));
      s1 = _mm256_add_epi32(s1, _mm256_mullo_epi32(load(l + 8), w));
      s2 = _mm256_add_epi32(s2, _mm256_mullo_epi32(load(l + 16), w));
      s3 = _mm256_add_epi32(s3, _mm256_mullo_epi32(load(l + 24), w));
    }
    store_eight(out + i, quotient(s0), quotient(s1), quotient(s2), quotient(s3));
  }
  return i / 4;
}

std::size_t vertical_float_avx2(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                                std::uint8_t* out, std::size_t begin) {
  // Every product and sum is a whole number below 2^24, so exact. Below a
  // divisor of 16,000 the product with the rounded reciprocal is within
  // 2^-15 of the quotient, whose fraction when not 0 is at least 1 / divisor:
  // adding 1 / (2 divisor) lifts exact quotients that came out just below
  // without reaching the next one. Larger divisors divide in 32-bit lanes.
  const auto d = static_cast<float>(divide.divisor);
  const __m256 bias = _mm256_set1_ps(static_cast<float>(divide.bias));
  const __m256 reciprocal = _mm256_set1_ps(1.0f / d), lift = _mm256_set1_ps(0.5f / d);
  const bool by_float = divide.float_quotient;
  const LaneDivide quotient(divide.lanes);
  const std::size_t count = lines.count;
  const float* const* line = lines.lines;
  const std::uint32_t* weights = lines.weights;
  std::size_t i = begin * 4;
  for (; i + 32 <= dst_width * 4; i += 32) {
    __m256 s0 = bias, s1 = bias, s2 = bias, s3 = bias;
    for (std::size_t j = 0; j < count; ++j) {
      const __m256 w = _mm256_set1_ps(static_cast<float>(weights[j]));
      const float* l = line[j] + i;
      s0 = _mm256_fmadd_ps(_mm256_loadu_ps(l), w, s0);
      s1 = _mm256_fmadd_ps(_mm256_loadu_ps(l + 8), w, s1);
      s2 = _mm256_fmadd_ps(_mm256_loadu_ps(l + 16), w, s2);
      s3 = _mm256_fmadd_ps(_mm256_loadu_ps(l + 24), w, s3);
    }
    if (by_float) {
      auto q = [&](__m256 sum) { return _mm256_cvttps_epi32(_mm256_fmadd_ps(sum, reciprocal, lift)); };
      store_eight(out + i, q(s0), q(s1), q(s2), q(s3));
    } else {
      auto q = [&](__m256 sum) { return quotient(_mm256_cvttps_epi32(sum)); };
      store_eight(out + i, q(s0), q(s1), q(s2), q(s3));
    }
  }
  return i / 4;
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

}  // namespace nimbra::detail
