#include "pixels/resampler.h"

#include <algorithm>
#include <bit>

namespace nimbra::detail {

Resampler::Resampler(Kind kind, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                     std::uint32_t dst_height)
    : src_width_(src_width), dst_width_(dst_width), dst_height_(dst_height) {
  const std::size_t line = std::size_t{dst_width} * 4;
  if (kind == Kind::box) {
    columns_ = column_taps(box_taps(src_width, dst_width, 4));
    rows_ = box_taps(src_height, dst_height, 1);
    // The 16-bit sums and the float division both hold up to 257 pixels.
    if (columns_.axis.largest_total * rows_.largest_total > 257 || rows_.taps > kMaxRing) return;
    path_ = Path::box;
    for (std::uint32_t count : columns_.axis.counts) {
      reciprocals_.insert(reciprocals_.end(), 4, 1.0f / static_cast<float>(count));
    }
    plan_box_magics();
  } else {
    columns_ = column_taps(area_taps(src_width, dst_width, 4));
    rows_ = area_taps(src_height, dst_height, 1);
    // Every target's weights add up to the same totals on each axis.
    const std::uint64_t divisor = columns_.axis.largest_total * rows_.largest_total;
    const std::uint64_t largest = 255 * divisor + divisor / 2;
    divide_ = {divisor / 2, divisor, WordDivider(static_cast<std::uint32_t>(std::min<std::uint64_t>(divisor, 0xFFFF)),
                                                 static_cast<std::uint32_t>(std::min<std::uint64_t>(largest, 0xFFFF))),
               LaneDivider(divisor, static_cast<int>(std::bit_width(largest)))};
    const bool narrow_lines = columns_.axis.largest_total <= 128;
    // Rows first: pairs of rows in byte multiply-adds, into values below 2^15,
    // then 16-bit multiply-adds over every column tap into 32-bit sums.
    const bool rows_first = rows_.largest_total < 128 && !columns_.pairs.empty() && divide_.lanes.exact;
    if (src_width == dst_width && rows_.largest_total < 128 && divide_.words.exact) {
      path_ = Path::rows_only;  // no column pass
    } else if (rows_.taps <= kMaxRing && narrow_lines && largest <= 0xFFFF && divide_.words.exact) {
      path_ = Path::narrow16;
    } else if (rows_first) {
      path_ = Path::rows_first;
      divide_.float_quotient = divisor < 16000;  // and so every sum below 2^22
    } else if (rows_.taps > kMaxRing) {
      path_ = Path::wide64;
    } else if (narrow_lines && rows_.largest_weight < 0x8000 && divide_.lanes.exact) {
      path_ = Path::narrow32;
    } else if (largest < (1u << 24)) {
      path_ = Path::wide_float;
      divide_.float_quotient = divisor < 16000;
    } else if (divide_.lanes.exact) {
      path_ = Path::wide32;
    } else {
      path_ = Path::wide64;
    }
  }
  const std::size_t ring = rows_.taps + 1;
  ring_rows_.assign(ring, -1);
  switch (path_) {
    case Path::rows_only:
      source_rows_.resize(rows_.taps);
      break;
    case Path::rows_first:
      line16_.resize(std::size_t{src_width} * 8);
      source_rows_.resize(rows_.taps);
      break;
    case Path::narrow16:
    case Path::narrow32:
    case Path::box:
      ring16_.sums.resize(ring * line);
      ring16_.lines.resize(ring);
      break;
    case Path::wide_float:
      ring_float_.sums.resize(ring * line);
      ring_float_.lines.resize(ring);
      break;
    case Path::wide32:
      ring32_.sums.resize(ring * line);
      ring32_.lines.resize(ring);
      break;
    case Path::wide64:
      line64_.resize(line);
      sums64_.resize(line);
      break;
    case Path::none: break;
  }
}

// floor(s / d) = (2 s * m) >> 16 with m = ceil(2^15 / d), for every s up to
// 255 d, while 2 s stays within 16 bits and 2 * 255 d * (m d - 2^15) < 2^16:
// checked for each divisor.
void Resampler::plan_box_magics() {
  std::vector<std::uint32_t> counts = rows_.counts;
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  for (std::uint32_t rows : counts) {
    std::vector<std::uint16_t> magics;
    for (std::uint32_t columns : columns_.axis.counts) {
      const std::uint64_t d = std::uint64_t{columns} * rows, m = ((1u << 15) + d - 1) / d;
      if (2 * 255 * d > 0xFFFF || 2 * 255 * d * (m * d - (1u << 15)) >= (1u << 16)) break;
      magics.insert(magics.end(), 4, static_cast<std::uint16_t>(m));
    }
    if (magics.size() != columns_.axis.counts.size() * 4) continue;
    magic_rows_.push_back(rows);
    magics_.push_back(std::move(magics));
  }
}

template <class Sum, class Horizontal>
WeighedLines<Sum> Resampler::lines_of(std::size_t target_row, const std::uint8_t* src, Ring<Sum>& ring,
                                      Horizontal horizontal) {
  const std::size_t slots = ring_rows_.size(), line = std::size_t{dst_width_} * 4;
  const std::size_t row_bytes = std::size_t{src_width_} * 4;
  const std::uint32_t first = rows_.first[target_row], count = rows_.counts[target_row];
  auto slot = [&](std::uint32_t row) { return ring.sums.data() + row % slots * line; };
  for (std::uint32_t j = 0; j < count; ++j) {
    const std::uint32_t row = first + j;
    if (ring_rows_[row % slots] != static_cast<std::int64_t>(row)) {
      // The next row goes through with it (the ring has a slot to spare):
      // the two share every load of the column tables.
      const bool next = row + 1 < rows_.source && ring_rows_[(row + 1) % slots] != static_cast<std::int64_t>(row) + 1;
      const std::uint8_t* second = next ? src + (row + 1) * row_bytes : nullptr;
      horizontal(SourceRows<Sum>{src + row * row_bytes, second, slot(row), next ? slot(row + 1) : nullptr}, columns_,
                 0);
      ring_rows_[row % slots] = row;
      if (next) ring_rows_[(row + 1) % slots] = row + 1;
    }
    ring.lines[j] = slot(row);
  }
  return {ring.lines.data(), row_weights(target_row), count};
}

// The weights of a target row's own source rows, from its first.
const std::uint32_t* Resampler::row_weights(std::size_t target_row) const {
  return rows_.weights.data() + target_row * rows_.taps + (rows_.first[target_row] - rows_.start[target_row]);
}

// A target row's own source rows and their weights.
WeighedLines<std::uint8_t> Resampler::source_rows(const std::uint8_t* src, std::size_t target_row) {
  const std::size_t row_bytes = std::size_t{src_width_} * 4;
  for (std::uint32_t j = 0; j < rows_.counts[target_row]; ++j) {
    source_rows_[j] = src + (rows_.first[target_row] + j) * row_bytes;
  }
  return {source_rows_.data(), row_weights(target_row), rows_.counts[target_row]};
}

template <class Sum, class Horizontal, class Vertical, class Divide>
void Resampler::run_rows(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, Ring<Sum>& ring,
                         Horizontal horizontal, Vertical vertical, const Divide& divide) {
  std::fill(ring_rows_.begin(), ring_rows_.end(), -1);
  for (std::size_t y = rows.first; y < rows.end; ++y) {
    vertical(lines_of(y, src, ring, horizontal), divide(y), dst_width_, dst + y * std::size_t{dst_width_} * 4, 0);
  }
}

// Two target rows at a time, which share the column tables.
void Resampler::run_rows_first(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, SimdLevel level) {
  const WeighRows weigh_rows = weigh_rows_for(level);
  const WeighColumns weigh_columns = weigh_columns_for(level);
  const std::size_t line_values = std::size_t{src_width_} * 4, out_bytes = std::size_t{dst_width_} * 4;
  // A target row's line: the first half of line16_ for y, the second for y + 1.
  auto weigh = [&](std::size_t y) {
    std::int16_t* line = line16_.data() + (y - rows.first) % 2 * line_values;
    weigh_rows(source_rows(src, y), src_width_, line, 0);
    return line;
  };
  for (std::size_t y = rows.first; y < rows.end; y += 2) {
    std::uint8_t* out = dst + y * out_bytes;
    if (y + 1 < rows.end) {
      const std::int16_t* first = weigh(y);
      weigh_columns({first, weigh(y + 1), out, out + out_bytes}, columns_, divide_, 0);
    } else {
      weigh_columns({weigh(y), nullptr, out, nullptr}, columns_, divide_, 0);
    }
  }
}

// The same width: each target row straight from its source rows.
void Resampler::run_rows_only(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, SimdLevel level) {
  const Vertical8 vertical = vertical8_for(level);
  for (std::size_t y = rows.first; y < rows.end; ++y) {
    vertical(source_rows(src, y), divide_, dst_width_, dst + y * std::size_t{dst_width_} * 4, 0);
  }
}

// Row by row into one 64-bit sum per value: spans of any height, rows
// shared by two target rows summed twice.
void Resampler::run_wide64(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows) {
  for (std::size_t y = rows.first; y < rows.end; ++y) {
    std::fill(sums64_.begin(), sums64_.end(), divide_.bias);
    for (std::uint32_t j = 0; j < rows_.counts[y]; ++j) {
      const std::uint32_t row = rows_.first[y] + j;
      horizontal64_c({src + std::size_t{row} * src_width_ * 4, nullptr, line64_.data(), nullptr}, columns_, 0);
      const std::uint64_t weight = rows_.weight(y, row);
      for (std::size_t i = 0; i < sums64_.size(); ++i) sums64_[i] += weight * line64_[i];
    }
    std::uint8_t* out = dst + y * sums64_.size();
    for (std::size_t i = 0; i < sums64_.size(); ++i) {
      out[i] = static_cast<std::uint8_t>(i % 4 == 3 ? 255 : sums64_[i] / divide_.divisor);
    }
  }
}

RowSpan Resampler::target_rows(std::uint32_t first, std::uint32_t end) const {
  // Spans move down monotonically: both their first and their last rows.
  std::uint32_t begin = 0, stop = dst_height_;
  while (begin < dst_height_ && rows_.first[begin] + rows_.counts[begin] <= first) ++begin;
  while (stop > begin && rows_.first[stop - 1] >= end) --stop;
  return {begin, stop};
}

void Resampler::run(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t first_row, std::uint32_t end_row) {
  const RowSpan rows{first_row, std::min(end_row, dst_height_)};
  const SimdLevel level = simd_level();
  auto same = [this](std::size_t) -> const RowDivide& { return divide_; };
  switch (path_) {
    case Path::narrow16:
      run_rows(src, dst, rows, ring16_, horizontal16_for(level), vertical16_for(level), same);
      return;
    case Path::rows_only:
      run_rows_only(src, dst, rows, level);
      return;
    case Path::rows_first:
      run_rows_first(src, dst, rows, level);
      return;
    case Path::narrow32:
      run_rows(src, dst, rows, ring16_, horizontal16_for(level), vertical16_to32_for(level), same);
      return;
    case Path::wide_float:
      run_rows(src, dst, rows, ring_float_, horizontal_float_for(level), vertical_float_for(level), same);
      return;
    case Path::wide32:
      run_rows(src, dst, rows, ring32_, horizontal32_for(level), vertical32_for(level), same);
      return;
    case Path::wide64:
      run_wide64(src, dst, rows);
      return;
    case Path::box:
      run_rows(src, dst, rows, ring16_, horizontal16_for(level), box_vertical_for(level), [this](std::size_t y) {
        const std::uint32_t count = rows_.counts[y];
        const auto table = std::find(magic_rows_.begin(), magic_rows_.end(), count);
        const std::uint16_t* magics =
            table == magic_rows_.end() ? nullptr : magics_[table - magic_rows_.begin()].data();
        return BoxDivide{columns_.axis.counts.data(), magics, reciprocals_.data(), count};
      });
      return;
    case Path::none: return;
  }
}

}  // namespace nimbra::detail
