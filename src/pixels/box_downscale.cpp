#include "pixels/box_downscale.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"
#include "pixels/exact_divider.h"

namespace nimbra {
namespace {

struct ColumnSpan {
  std::uint32_t first, end;
};

// sums[i] = the bytes at i of `count` consecutive rows, added up. Up to 257
// rows the sums fit 16 bits and stay in registers across the rows.
void sum_rows(const std::uint8_t* rows, std::size_t row_bytes, std::uint64_t count, std::uint32_t* sums) {
  std::size_t i = 0;
  if (count <= 257) {
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= row_bytes; i += 16) {
      __m128i lo = zero, hi = zero;
      for (std::size_t r = 0; r < count; ++r) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows + r * row_bytes + i));
        lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
        hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
      }
      auto* out = reinterpret_cast<__m128i*>(sums + i);
      _mm_storeu_si128(out, _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(hi, zero));
    }
  }
  for (; i < row_bytes; ++i) {
    std::uint32_t sum = 0;
    for (std::size_t r = 0; r < count; ++r) sum += rows[r * row_bytes + i];
    sums[i] = sum;
  }
}

bool usable(ByteView src, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) {
  return sw != 0 && sh != 0 && tw != 0 && th != 0 && src.size() >= std::size_t{sw} * sh * 4;
}

}  // namespace

void box_downscale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                             std::uint32_t dst_width, std::uint32_t dst_height) {
  const std::uint32_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
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

void box_downscale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                   std::uint32_t dst_width, std::uint32_t dst_height) {
  const std::uint32_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (!usable(src, sw, sh, tw, th) || dst.size() < std::size_t{tw} * th * 4) return;
  if (sw == 2 * std::uint64_t{tw} && sh == 2 * std::uint64_t{th}) {
    detail::halve_bgra(src.data(), tw, th, dst.data(), 0);
    return;
  }
  if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    std::vector<std::uint16_t> block_sums(std::size_t{sw} * 4);
    detail::block_average(src.data(), sw / tw, tw, th, dst.data(), false, block_sums.data());
    return;
  }
  std::vector<ColumnSpan> columns(tw);
  std::vector<ExactDivider> column_divides;
  column_divides.reserve(tw);
  for (std::uint64_t x = 0; x < tw; ++x) {
    const std::uint64_t x0 = x * sw / tw, x1 = std::min<std::uint64_t>(std::max(x0 + 1, (x + 1) * sw / tw), sw);
    columns[x] = {static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(x1)};
    column_divides.emplace_back(x1 - x0, (x1 - x0) * 255);
  }
  std::vector<std::uint32_t> column_sums(std::size_t{sw} * 4);  // 4 per source pixel, summed over a row span
  const std::size_t row_bytes = std::size_t{sw} * 4;
  for (std::uint64_t y = 0; y < th; ++y) {
    const std::uint64_t y0 = y * sh / th, y1 = std::min<std::uint64_t>(std::max(y0 + 1, (y + 1) * sh / th), sh);
    // floor(s / (cx cy)) = floor(floor(s / cy) / cx): rows first, then columns.
    const ExactDivider row_divide(y1 - y0, std::uint64_t{sw} * 255 * (y1 - y0));
    std::uint32_t* sums = column_sums.data();
    sum_rows(src.data() + y0 * row_bytes, row_bytes, y1 - y0, sums);
    std::uint8_t* out = dst.data() + y * std::size_t{tw} * 4;
    for (std::size_t x = 0; x < tw; ++x) {
      // All four channels of the span at once; the sums fit 32 bits.
      const auto* column = reinterpret_cast<const __m128i*>(sums) + columns[x].first;
      __m128i sum = _mm_loadu_si128(column);
      for (std::uint32_t c = columns[x].first + 1; c < columns[x].end; ++c) {
        sum = _mm_add_epi32(sum, _mm_loadu_si128(++column));
      }
      const ExactDivider& column_divide = column_divides[x];
      if (row_divide.shift() >= 0 && column_divide.shift() >= 0) {
        // Power-of-two counts (every span of a 3:2 or 2:1 reduction): one shift.
        const __m128i q = _mm_srl_epi32(sum, _mm_cvtsi32_si128(row_divide.shift() + column_divide.shift()));
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(q, q), q);
        const std::uint32_t pixel = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes)) | 0xFF000000u;
        std::memcpy(out + x * 4, &pixel, 4);
        continue;
      }
      alignas(16) std::uint32_t bgra[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(bgra), sum);
      for (std::size_t k = 0; k < 3; ++k)
        out[x * 4 + k] = static_cast<std::uint8_t>(column_divide(row_divide(bgra[k])));
      out[x * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra
