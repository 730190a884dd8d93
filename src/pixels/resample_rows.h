#pragma once
// Row kernels of any-ratio resampling in two passes. The horizontal pass
// turns one source row into four sums per target pixel (B, G, R and an
// unused A): 16-bit when no target's weights add up to more than 128, else
// 32-bit. The vertical pass weighs the lines of one target row, divides
// exactly and writes its pixels, byte 3 at 255. Each kernel has a C row, the
// byte-exact reference, and SIMD rows that leave their tails to it;
// rows take the first target to do and return the one after the last done.
// `*_for(level)` gives the row of an instruction set.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "pixels/exact_divider.h"
#include "pixels/prefetch.h"
#include "pixels/resample_plan.h"
#include "pixels/simd_level.h"

namespace nimbra::detail {

// Four targets t .. t + 3 over one window of four source pixels each: the
// windows' byte offsets in the order t, t + 2, t + 1, t + 3, and the
// weights as signed bytes, in pixel pairs per channel.
struct QuadStep {
  alignas(32) std::int8_t weights[2][32];
  std::uint32_t offset[4];
};

// Four targets of at most two source pixels each, two per window of four
// pixels: windows of t (with t + 1) and t + 2 (with t + 3), a byte shuffle
// that pairs each target's pixels per channel, and their weights.
struct SharedStep {
  alignas(32) std::int8_t shuffle[32];
  alignas(32) std::int8_t weights[32];
  std::uint32_t offset[2];
};

// Two targets over one window of four source pixels: byte offsets and
// 16-bit weights of pixels 0, 1 then 2, 3, in pairs per channel. Where few
// spans hold three pixels and none more, windows are a span's first two
// pixels, only the first weights count, and each third pixel is an extra tap
// added afterwards.
struct PairStep {
  alignas(32) std::int16_t weights[2][16];
  std::uint32_t offset[2];
  std::uint32_t line_offset[2];  // the same windows in a line of 16-bit values
};

// The horizontal taps, and the same taps in the AVX2 rows' layouts where
// they fit them (empty otherwise): `taps / 4` steps per group of targets.
struct ColumnTaps {
  AxisTaps axis;
  std::vector<SharedStep> shared;  // 16-bit rows, spans of up to two pixels
  std::vector<QuadStep> quads;     // 16-bit rows, any span
  std::vector<PairStep> pairs;     // 32-bit rows
  bool two_pixel_pairs = false;
  struct ExtraTap {
    std::uint32_t target, offset, weight;
  };
  std::vector<ExtraTap> extra_taps;  // in target order
};

// Builds the layouts the taps allow.
ColumnTaps column_taps(AxisTaps axis);

// Adds the extra taps of the targets before `end` to their sums, for the
// horizontal rows that take third pixels as extra taps. Kept out of line,
// in a file built for every processor.
template <class Sum>
void add_extra_taps(const std::uint8_t* row, Sum* sums, const ColumnTaps& columns, std::size_t end);

// One source row, or two that share the column tables (`second` null for
// one), and where their sums go.
template <class Sum>
struct SourceRows {
  const std::uint8_t* first;
  const std::uint8_t* second;
  Sum* first_sums;
  Sum* second_sums;

  // A pair is followed by the next two rows, which the rows prefetch.
  std::ptrdiff_t ahead() const { return second != nullptr ? 2 * (second - first) : 0; }
};

using Horizontal16 = std::size_t (*)(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns,
                                     std::size_t begin);
using Horizontal32 = std::size_t (*)(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns,
                                     std::size_t begin);
// 32-bit sums stored as floats, exact below 2^24.
using HorizontalFloat = std::size_t (*)(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin);

std::size_t horizontal16_c(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal16_avx2(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal16_sse2(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal16_ssse3(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal32_c(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal32_avx2(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal32_sse2(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal32_ssse3(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal_float_c(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal_float_avx2(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal_float_sse2(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin);
std::size_t horizontal_float_ssse3(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin);
Horizontal16 horizontal16_for(SimdLevel level);
Horizontal32 horizontal32_for(SimdLevel level);
HorizontalFloat horizontal_float_for(SimdLevel level);

// One target row's lines and their weights, `count` of each; each line has
// four sums per target.
template <class Sum>
struct WeighedLines {
  const Sum* const* lines;
  const std::uint32_t* weights;
  std::size_t count;
};

// Target byte = (bias + weighed sum) / divisor, in the lanes the row works in.
struct RowDivide {
  std::uint64_t bias, divisor;
  WordDivider words;  // 16-bit sums
  LaneDivider lanes;  // 32-bit sums
  // Float sums below 2^24 are exact; for a divisor below 16,000, the
  // product with 1 / divisor plus 1 / (2 divisor) truncates to the quotient.
  bool float_quotient = false;
};

// 16-bit lines, sums that stay within 16 bits.
using Vertical16 = std::size_t (*)(const WeighedLines<std::int16_t>& lines, const RowDivide& divide,
                                   std::size_t dst_width, std::uint8_t* out, std::size_t begin);
// 16-bit lines, 32-bit sums.
using Vertical16To32 = Vertical16;
// 32-bit lines and sums.
using Vertical32 = std::size_t (*)(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide,
                                   std::size_t dst_width, std::uint8_t* out, std::size_t begin);

std::size_t vertical16_c(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                         std::uint8_t* out, std::size_t begin);
std::size_t vertical16_avx2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin);
std::size_t vertical16_sse2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin);
std::size_t vertical16_to32_avx2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide,
                                 std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t vertical16_to32_sse2(const WeighedLines<std::int16_t>& lines, const RowDivide& divide,
                                 std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t vertical32_c(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide, std::size_t dst_width,
                         std::uint8_t* out, std::size_t begin);
std::size_t vertical32_avx2(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide,
                            std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t vertical32_sse2(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide, std::size_t dst_width,
                            std::uint8_t* out, std::size_t begin);
// Float lines and sums, every sum below 2^24.
using VerticalFloat = std::size_t (*)(const WeighedLines<float>& lines, const RowDivide& divide,
                                      std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t vertical_float_c(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                             std::uint8_t* out, std::size_t begin);
std::size_t vertical_float_avx2(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                                std::uint8_t* out, std::size_t begin);
std::size_t vertical_float_sse2(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                                std::uint8_t* out, std::size_t begin);
VerticalFloat vertical_float_for(SimdLevel level);

// The C row in 64-bit sums, for weights too large for any other.
std::size_t horizontal64_c(const SourceRows<std::uint64_t>& rows, const ColumnTaps& columns, std::size_t begin);

Vertical16 vertical16_for(SimdLevel level);
Vertical16To32 vertical16_to32_for(SimdLevel level);
Vertical32 vertical32_for(SimdLevel level);

// Rows only, where the width stays: the source rows are the lines, their
// sums (16-bit) divided as Vertical16 does; weights add up to less than 128.
using Vertical8 = std::size_t (*)(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide,
                                  std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t vertical8_c(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                        std::uint8_t* out, std::size_t begin);
std::size_t vertical8_avx2(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin);
std::size_t vertical8_sse2(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin);
Vertical8 vertical8_for(SimdLevel level);

// Rows first, where the rows' weights add up to less than 128: a target
// row's source rows weighed into one line of 16-bit values below 2^15, as
// wide as the source (`width` pixels; rows take and return pixels)...
using WeighRows = std::size_t (*)(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                                  std::size_t begin);
std::size_t weigh_rows_c(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                         std::size_t begin);
std::size_t weigh_rows_avx2(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                            std::size_t begin);
std::size_t weigh_rows_sse2(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                            std::size_t begin);
std::size_t weigh_rows_ssse3(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                             std::size_t begin);
WeighRows weigh_rows_for(SimdLevel level);
// They and the vertical8 rows prefetch, from each of a target row's source
// rows, as many rows on as it has, which covers the next target row's new ones.
inline std::ptrdiff_t rows_ahead(const WeighedLines<std::uint8_t>& rows, std::size_t width) {
  return static_cast<std::ptrdiff_t>(rows.count * width * 4);
}

// ...then the columns weighed from that line by the pair steps and extra
// taps (the SIMD rows need `pairs`), divided and written. Every sum plus
// the bias stays below 2^30. Two lines, `second` not null, share the loads
// of the column tables.
struct Lines16 {
  const std::int16_t* first;
  const std::int16_t* second;
  std::uint8_t* first_out;
  std::uint8_t* second_out;
};
using WeighColumns = std::size_t (*)(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                                     std::size_t begin);
// row(two_pixel_pairs, two lines), both as std::bool_constant, for the SIMD
// rows compiled once per layout and line count.
template <class Row>
std::size_t by_layout(const ColumnTaps& columns, const Lines16& lines, Row row) {
  const bool two = lines.second != nullptr;
  if (columns.two_pixel_pairs) {
    return two ? row(std::true_type{}, std::true_type{}) : row(std::true_type{}, std::false_type{});
  }
  return two ? row(std::false_type{}, std::true_type{}) : row(std::false_type{}, std::false_type{});
}
std::size_t weigh_columns_c(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                            std::size_t begin);
std::size_t weigh_columns_avx2(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                               std::size_t begin);
std::size_t weigh_columns_sse2(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                               std::size_t begin);
WeighColumns weigh_columns_for(SimdLevel level);

// Box rows: the plain sum of the lines, divided by each target's own pixel
// count, column_counts[t] * row_count, truncating. For the AVX2 row, per
// target four times: `magics`, m = ceil(2^15 / count) where (2 sum * m) >> 16
// is exact for this row's counts, else null and `reciprocals`,
// 1 / column_counts[t].
struct BoxDivide {
  const std::uint32_t* column_counts;
  const std::uint16_t* magics;
  const float* reciprocals;
  std::uint32_t row_count;
};
using BoxVertical = std::size_t (*)(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide,
                                    std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t box_vertical_c(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin);
std::size_t box_vertical_avx2(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide,
                              std::size_t dst_width, std::uint8_t* out, std::size_t begin);
std::size_t box_vertical_sse2(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide,
                              std::size_t dst_width, std::uint8_t* out, std::size_t begin);
BoxVertical box_vertical_for(SimdLevel level);

}  // namespace nimbra::detail
