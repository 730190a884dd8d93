#include "pixels/box_downscale.h"

#include <algorithm>
#include <vector>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"
#include "pixels/exact_divider.h"

namespace nimbra {
namespace {

struct ColumnSpan {
  std::uint32_t first, end;
};

// Per-thread tables, grown on the first frame of a size and reused after.
struct BoxTables {
  std::vector<ColumnSpan> columns;
  std::vector<ExactDivider> column_divide;
  std::vector<std::uint32_t> column_sums;  // 4 per source pixel, summed over a row span
  std::vector<std::uint16_t> block_sums;
};

bool usable(ByteView src, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) {
  return sw != 0 && sh != 0 && tw != 0 && th != 0 && src.size() >= std::size_t{sw} * sh * 4;
}

}  // namespace

void box_downscale_reference(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst,
                             std::uint32_t tw, std::uint32_t th) {
  if (!usable(src, sw, sh, tw, th) || dst.size() < std::size_t{tw} * th * 4) return;
  for (std::uint64_t y = 0; y < th; ++y) {
    const std::uint64_t y0 = y * sh / th, y1 = std::min<std::uint64_t>(std::max(y0 + 1, (y + 1) * sh / th), sh);
    for (std::uint64_t x = 0; x < tw; ++x) {
      const std::uint64_t x0 = x * sw / tw, x1 = std::min<std::uint64_t>(std::max(x0 + 1, (x + 1) * sw / tw), sw);
      std::uint64_t sum[3] = {0, 0, 0};
      for (std::uint64_t row = y0; row < y1; ++row) {
        for (std::uint64_t col = x0; col < x1; ++col) {
          for (int k = 0; k < 3; ++k) sum[k] += src[(row * sw + col) * 4 + k];
        }
      }
      const std::uint32_t count = static_cast<std::uint32_t>((x1 - x0) * (y1 - y0));
      std::uint8_t* p = &dst[(y * tw + x) * 4];
      for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>(sum[k] / count);
      p[3] = 255;
    }
  }
}

void box_downscale(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                   std::uint32_t th) {
  if (!usable(src, sw, sh, tw, th) || dst.size() < std::size_t{tw} * th * 4) return;
  if (sw == 2 * std::uint64_t{tw} && sh == 2 * std::uint64_t{th}) {
    detail::halve_bgra(src.data(), tw, th, dst.data(), 0);
    return;
  }
  thread_local BoxTables t;
  if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    t.block_sums.resize(std::size_t{sw} * 4);
    detail::block_average(src.data(), sw / tw, tw, th, dst.data(), false, t.block_sums.data());
    return;
  }
  t.columns.resize(tw);
  t.column_divide.clear();
  for (std::uint64_t x = 0; x < tw; ++x) {
    const std::uint64_t x0 = x * sw / tw, x1 = std::min<std::uint64_t>(std::max(x0 + 1, (x + 1) * sw / tw), sw);
    t.columns[x] = {static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(x1)};
    t.column_divide.emplace_back(x1 - x0, (x1 - x0) * 255);
  }
  t.column_sums.resize(std::size_t{sw} * 4);
  const std::size_t row_bytes = std::size_t{sw} * 4;
  for (std::uint64_t y = 0; y < th; ++y) {
    const std::uint64_t y0 = y * sh / th, y1 = std::min<std::uint64_t>(std::max(y0 + 1, (y + 1) * sh / th), sh);
    // floor(s / (cx cy)) = floor(floor(s / cy) / cx): rows first, then columns.
    const ExactDivider row_divide(y1 - y0, std::uint64_t{sw} * 255 * (y1 - y0));
    std::uint32_t* sums = t.column_sums.data();
    const std::uint8_t* row = src.data() + y0 * row_bytes;
    for (std::size_t i = 0; i < row_bytes; ++i) sums[i] = row[i];
    for (std::uint64_t r = y0 + 1; r < y1; ++r) {
      row = src.data() + r * row_bytes;
      for (std::size_t i = 0; i < row_bytes; ++i) sums[i] += row[i];
    }
    std::uint8_t* out = dst.data() + y * std::size_t{tw} * 4;
    for (std::size_t x = 0; x < tw; ++x) {
      std::uint64_t b = 0, g = 0, r = 0;
      for (std::uint32_t c = t.columns[x].first; c < t.columns[x].end; ++c) {
        b += sums[c * 4];
        g += sums[c * 4 + 1];
        r += sums[c * 4 + 2];
      }
      const ExactDivider& column_divide = t.column_divide[x];
      out[x * 4] = static_cast<std::uint8_t>(column_divide(row_divide(b)));
      out[x * 4 + 1] = static_cast<std::uint8_t>(column_divide(row_divide(g)));
      out[x * 4 + 2] = static_cast<std::uint8_t>(column_divide(row_divide(r)));
      out[x * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra
