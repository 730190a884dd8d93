// SSSE3 rows of the horizontal pass and of the rows-first row weighing: the
// AVX2 rows' byte shuffles and multiply-adds, one 128-bit lane at a time.
#include <tmmintrin.h>

#include <type_traits>

#include "pixels/resample_rows.h"

namespace nimbra::detail {
namespace {

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Spans of at most two pixels: per half step, two targets from one window.
// The table is taken into locals and each step read before the stores, which
// could otherwise alias it.
std::size_t shared_row(const std::uint8_t* row, std::int16_t* sums, const ColumnTaps& columns, std::size_t begin,
                       std::ptrdiff_t ahead) {
  const SharedStep* shared = columns.shared.data();
  const std::size_t groups = columns.shared.size();
  PrefetchCursor prefetch(row, nullptr, ahead);
  std::size_t g = begin / 4;
  for (; g < groups; ++g) {
    const SharedStep& step = shared[g];
    prefetch.reach(step.offset[1]);
    __m128i weighed[2];
    for (std::size_t h = 0; h < 2; ++h) {
      const __m128i pixels = _mm_shuffle_epi8(load(row + step.offset[h]), load(step.shuffle + h * 16));
      weighed[h] = _mm_maddubs_epi16(pixels, load(step.weights + h * 16));
    }
    store(sums + g * 16, weighed[0]);
    store(sums + g * 16 + 8, weighed[1]);
  }
  return g * 4;
}

// Any span, in windows of four pixels: each target's pixel pairs per channel
// weighed, then the two halves of its sums added.
std::size_t quads_row(const std::uint8_t* row, std::int16_t* sums, const ColumnTaps& columns, std::size_t begin,
                      std::ptrdiff_t ahead) {
  // Channel k of pixels 0 and 1, then of pixels 2 and 3.
  const __m128i pairs = _mm_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const std::size_t windows = columns.axis.taps / 4, groups = columns.quads.size() / windows;
  const QuadStep* quads = columns.quads.data();
  PrefetchCursor prefetch(row, nullptr, ahead);
  std::size_t g = begin / 4;
  for (; g < groups; ++g) {
    const QuadStep* step = quads + g * windows;
    prefetch.reach(step->offset[3]);
    __m128i s[4];  // targets t, t + 2, t + 1, t + 3 of the group, as the steps order them
    for (std::size_t k = 0; k < 4; ++k) {
      s[k] = _mm_setzero_si128();
      for (std::size_t w = 0; w < windows; ++w) {
        const __m128i pixels = _mm_shuffle_epi8(load(row + step[w].offset[k]), pairs);
        s[k] = _mm_add_epi16(s[k], _mm_maddubs_epi16(pixels, load(step[w].weights[k / 2] + k % 2 * 16)));
      }
    }
    store(sums + g * 16, _mm_add_epi16(_mm_unpacklo_epi64(s[0], s[2]), _mm_unpackhi_epi64(s[0], s[2])));
    store(sums + g * 16 + 8, _mm_add_epi16(_mm_unpacklo_epi64(s[1], s[3]), _mm_unpackhi_epi64(s[1], s[3])));
  }
  return g * 4;
}

// The 32-bit rows' pair steps, one target per half step: a byte shuffle
// widens pixels 0 and 1 of each window (then 2 and 3) to 16 bits paired per
// channel, and one multiply-add weighs each pair.
template <bool kTwoPixels, class Sum>
std::size_t pairs_row(const std::uint8_t* row, Sum* sums, const ColumnTaps& columns, std::ptrdiff_t ahead) {
  const __m128i low = _mm_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, 3, -1, 7, -1);
  const __m128i high = _mm_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, 11, -1, 15, -1);
  const std::size_t windows = kTwoPixels ? 1 : columns.axis.taps / 4, count = columns.pairs.size() / windows;
  const PairStep* step = columns.pairs.data();
  PrefetchCursor prefetch(row, nullptr, ahead);
  for (std::size_t t = 0; t < count * 2; t += 2, step += windows) {
    prefetch.reach(step->offset[1]);
    for (std::size_t h = 0; h < 2; ++h) {
      __m128i s;
      if constexpr (kTwoPixels) {
        const __m128i pixels = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + step->offset[h]));
        s = _mm_madd_epi16(_mm_shuffle_epi8(pixels, low), load(step->weights[0] + h * 8));
      } else {
        s = _mm_setzero_si128();
        for (std::size_t w = 0; w < windows; ++w) {
          const __m128i pixels = load(row + step[w].offset[h]);
          s = _mm_add_epi32(s, _mm_madd_epi16(_mm_shuffle_epi8(pixels, low), load(step[w].weights[0] + h * 8)));
          s = _mm_add_epi32(s, _mm_madd_epi16(_mm_shuffle_epi8(pixels, high), load(step[w].weights[1] + h * 8)));
        }
      }
      if constexpr (std::is_same_v<Sum, float>) {
        _mm_storeu_ps(sums + (t + h) * 4, _mm_cvtepi32_ps(s));
      } else {
        store(sums + (t + h) * 4, s);
      }
    }
  }
  add_extra_taps(row, sums, columns, count * 2);
  return count * 2;
}

template <class Sum>
std::size_t pairs_rows(const SourceRows<Sum>& rows, const ColumnTaps& columns, std::size_t begin) {
  if (columns.pairs.empty() || begin != 0) return begin;
  const auto row = columns.two_pixel_pairs ? pairs_row<true, Sum> : pairs_row<false, Sum>;
  if (rows.second != nullptr) row(rows.second, rows.second_sums, columns, rows.ahead());
  return row(rows.first, rows.first_sums, columns, rows.ahead());
}

}  // namespace

std::size_t horizontal32_ssse3(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return pairs_rows(rows, columns, begin);
}

std::size_t horizontal_float_ssse3(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin) {
  return pairs_rows(rows, columns, begin);
}

std::size_t horizontal16_ssse3(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  if (begin % 4 != 0 || (columns.shared.empty() && columns.quads.empty())) return begin;
  const auto row = columns.shared.empty() ? quads_row : shared_row;
  if (rows.second != nullptr) row(rows.second, rows.second_sums, columns, begin, rows.ahead());
  return row(rows.first, rows.first_sums, columns, begin, rows.ahead());
}

std::size_t weigh_rows_ssse3(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                             std::size_t begin) {
  const std::size_t end = begin * 4 + (width - begin) / 4 * 16;
  const std::ptrdiff_t ahead = rows_ahead(rows, width);
  // Rows two at a time, their bytes interleaved for one byte multiply-add
  // (each pair's weights add up to less than 128), each pair over the whole line.
  for (std::size_t j = 0; j < rows.count; j += 2) {
    const std::uint8_t* a = rows.lines[j];
    const std::uint8_t* b = rows.lines[j + 1 < rows.count ? j + 1 : j];
    const std::uint32_t second = j + 1 < rows.count ? rows.weights[j + 1] : 0;
    const __m128i w = _mm_set1_epi16(static_cast<short>(rows.weights[j] | second << 8));
    for (std::size_t i = begin * 4; i < end; i += 16) {
      if (i % 64 == 0) {
        prefetch_ahead(a + i, ahead);
        prefetch_ahead(b + i, ahead);
      }
      const __m128i x = load(a + i), y = load(b + i);
      __m128i lo = _mm_maddubs_epi16(_mm_unpacklo_epi8(x, y), w), hi = _mm_maddubs_epi16(_mm_unpackhi_epi8(x, y), w);
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

}  // namespace nimbra::detail
