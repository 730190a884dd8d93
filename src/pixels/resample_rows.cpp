#include "pixels/resample_rows.h"

#include <algorithm>

namespace nimbra::detail {
namespace {

template <class Sum>
std::size_t horizontal_c(const SourceRows<Sum>& rows, const AxisTaps& axis, std::size_t begin) {
  const std::size_t targets = axis.start.size();
  for (const auto& [row, sums] : {std::pair{rows.first, rows.first_sums}, {rows.second, rows.second_sums}}) {
    if (row == nullptr) continue;
    for (std::size_t t = begin; t < targets; ++t) {
      const std::uint8_t* p = row + std::size_t{axis.start[t]} * 4;
      const std::uint32_t* w = axis.weights.data() + t * axis.taps;
      for (std::size_t c = 0; c < 4; ++c) {
        std::uint64_t sum = 0;
        for (std::size_t j = 0; j < axis.taps; ++j) sum += std::uint64_t{w[j]} * p[j * 4 + c];
        sums[t * 4 + c] = static_cast<Sum>(sum);
      }
    }
  }
  return targets;
}

template <class Sum>
std::size_t vertical_c(const WeighedLines<Sum>& lines, const RowDivide& divide, std::size_t dst_width,
                       std::uint8_t* out, std::size_t begin) {
  for (std::size_t i = begin * 4; i < dst_width * 4; ++i) {
    std::uint64_t sum = divide.bias;
    for (std::size_t j = 0; j < lines.count; ++j) {
      sum += std::uint64_t{lines.weights[j]} * static_cast<std::uint64_t>(lines.lines[j][i]);
    }
    out[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 255 : sum / divide.divisor);
  }
  return dst_width;
}

// The SIMD row from `begin`, then the C row from wherever it stopped.
template <auto simd, auto c, class... Args>
std::size_t any(Args... args, std::size_t begin) {
  return c(args..., simd(args..., begin));
}

// The row of an instruction set.
template <auto avx2, auto ssse3, auto sse2, auto c, class... Args>
auto row_for(SimdLevel level) -> std::size_t (*)(Args..., std::size_t) {
  switch (level) {
    case SimdLevel::avx2: return any<avx2, c, Args...>;
    case SimdLevel::ssse3: return any<ssse3, c, Args...>;
    case SimdLevel::sse2: return any<sse2, c, Args...>;
    case SimdLevel::scalar: break;
  }
  return c;
}

}  // namespace

ColumnTaps column_taps(AxisTaps axis) {
  ColumnTaps columns;
  const std::size_t targets = axis.start.size();
  // 16-bit sums need every target's weights to add up to at most 128, so
  // that no byte multiply-add pair passes 2^15; 32-bit ones weights that are
  // signed 16-bit numbers.
  if (axis.largest_total <= 128 && axis.longest <= 2 && axis.source >= 4) {
    // Stops at the first pair whose pixels do not share a window; the C row
    // does the rest.
    for (std::size_t t = 0; t + 4 <= targets; t += 4) {
      SharedStep step{};
      bool fits = true;
      for (std::size_t h = 0; h < 2; ++h) {
        const std::size_t a = t + 2 * h;
        const std::uint32_t start = std::min(axis.first[a], axis.source - 4);
        fits = fits && axis.first[a + 1] + axis.counts[a + 1] <= start + 4;
        step.offset[h] = start * 4;
        for (std::size_t q = 0; q < 2; ++q) {
          for (std::size_t c = 0; c < 4; ++c) {
            for (std::uint32_t j = 0; j < 2; ++j) {
              const std::uint32_t p = axis.first[a + q] + std::min(j, axis.counts[a + q] - 1);
              const std::size_t at = h * 16 + q * 8 + c * 2 + j;
              step.shuffle[at] = static_cast<std::int8_t>((p - start) * 4 + c);
              step.weights[at] = static_cast<std::int8_t>(j < axis.counts[a + q] ? axis.weight(a + q, p) : 0);
            }
          }
        }
      }
      if (!fits) break;
      columns.shared.push_back(step);
    }
  } else if (axis.largest_total <= 128 && axis.taps % 4 == 0) {
    for (std::size_t t = 0; t + 4 <= targets; t += 4) {
      for (std::size_t w = 0; w < axis.taps / 4; ++w) {
        QuadStep step{};
        const std::size_t order[4] = {t, t + 2, t + 1, t + 3};
        for (std::size_t k = 0; k < 4; ++k) {
          const std::uint32_t start = axis.start[order[k]] + 4 * static_cast<std::uint32_t>(w);
          step.offset[k] = start * 4;
          // Register k / 2, 128-bit lane k % 2: [w0 w1] x 4 channels, then [w2 w3] x 4.
          for (std::size_t c = 0; c < 4; ++c) {
            for (std::uint32_t j = 0; j < 4; ++j) {
              step.weights[k / 2][(k % 2) * 16 + (j / 2) * 8 + c * 2 + j % 2] =
                  static_cast<std::int8_t>(axis.weight(order[k], start + j));
            }
          }
        }
        columns.quads.push_back(step);
      }
    }
  }
  if (axis.largest_weight < 0x8000 && axis.largest_total * 255 < 0x80000000u) {
    // Third pixels as extra taps pay while they stay rare.
    const auto three = static_cast<std::size_t>(std::count(axis.counts.begin(), axis.counts.end(), 3u));
    columns.two_pixel_pairs = axis.source >= 2 && (axis.longest <= 2 || (axis.longest == 3 && three * 8 <= targets));
    const std::uint32_t window = columns.two_pixel_pairs ? 2 : 4;
    const std::size_t windows = columns.two_pixel_pairs ? 1 : axis.taps / 4;
    if (columns.two_pixel_pairs || axis.taps % 4 == 0) {
      for (std::size_t t = 0; t + 2 <= targets; t += 2) {
        for (std::size_t w = 0; w < windows; ++w) {
          PairStep step{};
          for (std::size_t h = 0; h < 2; ++h) {
            const std::uint32_t start = columns.two_pixel_pairs
                                            ? std::min(axis.first[t + h], axis.source - window)
                                            : axis.start[t + h] + 4 * static_cast<std::uint32_t>(w);
            step.offset[h] = start * 4;
            step.line_offset[h] = start * 8;
            for (std::size_t c = 0; c < 4; ++c) {
              for (std::uint32_t j = 0; j < window; ++j) {
                step.weights[j / 2][h * 8 + c * 2 + j % 2] = static_cast<std::int16_t>(axis.weight(t + h, start + j));
              }
            }
          }
          columns.pairs.push_back(step);
        }
      }
      for (std::size_t t = 0; columns.two_pixel_pairs && t < targets; ++t) {
        if (axis.counts[t] == 3) {
          const std::uint32_t third = axis.first[t] + 2;
          columns.extra_taps.push_back({static_cast<std::uint32_t>(t), third * 4, axis.weight(t, third)});
        }
      }
    }
  }
  columns.axis = std::move(axis);
  return columns;
}

template <class Sum>
void add_extra_taps(const std::uint8_t* row, Sum* sums, const ColumnTaps& columns, std::size_t end) {
  for (const ColumnTaps::ExtraTap& extra : columns.extra_taps) {
    if (extra.target >= end) break;
    for (std::size_t c = 0; c < 4; ++c) {
      sums[extra.target * 4 + c] += static_cast<Sum>(extra.weight * row[extra.offset + c]);
    }
  }
}

template void add_extra_taps(const std::uint8_t*, std::int16_t*, const ColumnTaps&, std::size_t);
template void add_extra_taps(const std::uint8_t*, std::uint32_t*, const ColumnTaps&, std::size_t);
template void add_extra_taps(const std::uint8_t*, float*, const ColumnTaps&, std::size_t);

std::size_t horizontal16_c(const SourceRows<std::int16_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal_c(rows, columns.axis, begin);
}

std::size_t horizontal32_c(const SourceRows<std::uint32_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal_c(rows, columns.axis, begin);
}

std::size_t horizontal_float_c(const SourceRows<float>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal_c(rows, columns.axis, begin);
}

std::size_t vertical_float_c(const WeighedLines<float>& lines, const RowDivide& divide, std::size_t dst_width,
                             std::uint8_t* out, std::size_t begin) {
  return vertical_c(lines, divide, dst_width, out, begin);
}

std::size_t horizontal64_c(const SourceRows<std::uint64_t>& rows, const ColumnTaps& columns, std::size_t begin) {
  return horizontal_c(rows, columns.axis, begin);
}

std::size_t vertical16_c(const WeighedLines<std::int16_t>& lines, const RowDivide& divide, std::size_t dst_width,
                         std::uint8_t* out, std::size_t begin) {
  return vertical_c(lines, divide, dst_width, out, begin);
}

std::size_t vertical32_c(const WeighedLines<std::uint32_t>& lines, const RowDivide& divide, std::size_t dst_width,
                         std::uint8_t* out, std::size_t begin) {
  return vertical_c(lines, divide, dst_width, out, begin);
}

std::size_t box_vertical_c(const WeighedLines<std::int16_t>& lines, const BoxDivide& divide, std::size_t dst_width,
                           std::uint8_t* out, std::size_t begin) {
  for (std::size_t i = begin * 4; i < dst_width * 4; ++i) {
    std::uint32_t sum = 0;
    for (std::size_t j = 0; j < lines.count; ++j) sum += static_cast<std::uint16_t>(lines.lines[j][i]);
    out[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 255 : sum / (divide.column_counts[i / 4] * divide.row_count));
  }
  return dst_width;
}

std::size_t vertical8_c(const WeighedLines<std::uint8_t>& rows, const RowDivide& divide, std::size_t dst_width,
                        std::uint8_t* out, std::size_t begin) {
  return vertical_c(rows, divide, dst_width, out, begin);
}

std::size_t weigh_rows_c(const WeighedLines<std::uint8_t>& rows, std::size_t width, std::int16_t* line,
                         std::size_t begin) {
  for (std::size_t i = begin * 4; i < width * 4; ++i) {
    std::uint32_t sum = 0;
    for (std::size_t j = 0; j < rows.count; ++j) sum += rows.weights[j] * rows.lines[j][i];
    line[i] = static_cast<std::int16_t>(sum);
  }
  return width;
}

std::size_t weigh_columns_c(const Lines16& lines, const ColumnTaps& columns, const RowDivide& divide,
                            std::size_t begin) {
  const AxisTaps& axis = columns.axis;
  const std::size_t targets = axis.start.size();
  for (const auto& [line, out] : {std::pair{lines.first, lines.first_out}, {lines.second, lines.second_out}}) {
    for (std::size_t t = begin; line != nullptr && t < targets; ++t) {
      const std::int16_t* p = line + std::size_t{axis.start[t]} * 4;
      const std::uint32_t* w = axis.weights.data() + t * axis.taps;
      for (std::size_t c = 0; c < 3; ++c) {
        std::uint64_t sum = divide.bias;
        for (std::size_t j = 0; j < axis.taps; ++j) {
          sum += std::uint64_t{w[j]} * static_cast<std::uint16_t>(p[j * 4 + c]);
        }
        out[t * 4 + c] = static_cast<std::uint8_t>(sum / divide.divisor);
      }
      out[t * 4 + 3] = 255;
    }
  }
  return targets;
}

Horizontal16 horizontal16_for(SimdLevel level) {
  return row_for<horizontal16_avx2, horizontal16_ssse3, horizontal16_sse2, horizontal16_c,
                 const SourceRows<std::int16_t>&, const ColumnTaps&>(level);
}

Horizontal32 horizontal32_for(SimdLevel level) {
  return row_for<horizontal32_avx2, horizontal32_ssse3, horizontal32_sse2, horizontal32_c,
                 const SourceRows<std::uint32_t>&, const ColumnTaps&>(level);
}

HorizontalFloat horizontal_float_for(SimdLevel level) {
  return row_for<horizontal_float_avx2, horizontal_float_ssse3, horizontal_float_sse2, horizontal_float_c,
                 const SourceRows<float>&, const ColumnTaps&>(level);
}

VerticalFloat vertical_float_for(SimdLevel level) {
  return row_for<vertical_float_avx2, vertical_float_sse2, vertical_float_sse2, vertical_float_c,
                 const WeighedLines<float>&, const RowDivide&, std::size_t, std::uint8_t*>(level);
}

Vertical16 vertical16_for(SimdLevel level) {
  return row_for<vertical16_avx2, vertical16_sse2, vertical16_sse2, vertical16_c, const WeighedLines<std::int16_t>&,
                 const RowDivide&, std::size_t, std::uint8_t*>(level);
}

Vertical16To32 vertical16_to32_for(SimdLevel level) {
  return row_for<vertical16_to32_avx2, vertical16_to32_sse2, vertical16_to32_sse2, vertical16_c,
                 const WeighedLines<std::int16_t>&, const RowDivide&, std::size_t, std::uint8_t*>(level);
}

Vertical32 vertical32_for(SimdLevel level) {
  return row_for<vertical32_avx2, vertical32_sse2, vertical32_sse2, vertical32_c, const WeighedLines<std::uint32_t>&,
                 const RowDivide&, std::size_t, std::uint8_t*>(level);
}

BoxVertical box_vertical_for(SimdLevel level) {
  return row_for<box_vertical_avx2, box_vertical_sse2, box_vertical_sse2, box_vertical_c,
                 const WeighedLines<std::int16_t>&, const BoxDivide&, std::size_t, std::uint8_t*>(level);
}

Vertical8 vertical8_for(SimdLevel level) {
  return row_for<vertical8_avx2, vertical8_sse2, vertical8_sse2, vertical8_c, const WeighedLines<std::uint8_t>&,
                 const RowDivide&, std::size_t, std::uint8_t*>(level);
}

WeighRows weigh_rows_for(SimdLevel level) {
  return row_for<weigh_rows_avx2, weigh_rows_ssse3, weigh_rows_sse2, weigh_rows_c, const WeighedLines<std::uint8_t>&,
                 std::size_t, std::int16_t*>(level);
}

WeighColumns weigh_columns_for(SimdLevel level) {
  return row_for<weigh_columns_avx2, weigh_columns_sse2, weigh_columns_sse2, weigh_columns_c, const Lines16&,
                 const ColumnTaps&, const RowDivide&>(level);
}

}  // namespace nimbra::detail
