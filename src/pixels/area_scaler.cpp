#include "pixels/area_scaler.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"
#include "pixels/simd_level.h"

namespace nimbra {
namespace {

// Spans and weights of one axis, the weights divided by gcd(s, t), which
// divides every one of them.
void build_axis(std::uint64_t s, std::uint64_t t, std::vector<AreaScaler::Span>& spans,
                std::vector<std::uint32_t>& weights) {
  const std::uint64_t g = std::gcd(s, t);
  spans.resize(t);
  weights.clear();
  for (std::uint64_t i = 0; i < t; ++i) {
    const std::uint64_t first = i * s / t, end = ((i + 1) * s + t - 1) / t;
    spans[i] = {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end - first),
                static_cast<std::uint32_t>(weights.size())};
    for (std::uint64_t p = first; p < end; ++p) {
      const std::uint64_t w = std::min((p + 1) * t, (i + 1) * s) - std::max(p * t, i * s);
      weights.push_back(static_cast<std::uint32_t>(w / g));
    }
  }
}

std::size_t no_simd_three_halves(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                                 std::uint8_t*, std::size_t) {
  return 0;
}

void three_halves(const std::uint8_t* src, std::uint32_t tw, std::uint32_t th, std::uint8_t* dst) {
  const detail::ThreeHalvesRows rows = simd_level() == SimdLevel::avx2   ? detail::three_halves_rows_avx2
                                       : simd_level() == SimdLevel::sse2 ? detail::three_halves_rows_sse2
                                                                         : no_simd_three_halves;
  const std::size_t src_row = std::size_t{tw} / 2 * 3 * 4, dst_row = std::size_t{tw} * 4;
  for (std::size_t y = 0; y < th; y += 2) {
    const std::uint8_t* a = src + y / 2 * 3 * src_row;
    const std::uint8_t* b = a + src_row;
    const std::uint8_t* c = b + src_row;
    std::uint8_t* top = dst + y * dst_row;
    std::uint8_t* bottom = top + dst_row;
    for (std::size_t x = rows(a, b, c, top, bottom, tw); x < tw; x += 2) {
      const std::size_t s = x / 2 * 12;
      for (std::size_t k = 0; k < 3; ++k) {
        const int p0 = 2 * a[s + k] + b[s + k], p1 = 2 * a[s + 4 + k] + b[s + 4 + k];
        const int p2 = 2 * a[s + 8 + k] + b[s + 8 + k];
        const int q0 = 2 * c[s + k] + b[s + k], q1 = 2 * c[s + 4 + k] + b[s + 4 + k];
        const int q2 = 2 * c[s + 8 + k] + b[s + 8 + k];
        top[x * 4 + k] = static_cast<std::uint8_t>((2 * p0 + p1 + 4) / 9);
        top[x * 4 + 4 + k] = static_cast<std::uint8_t>((p1 + 2 * p2 + 4) / 9);
        bottom[x * 4 + k] = static_cast<std::uint8_t>((2 * q0 + q1 + 4) / 9);
        bottom[x * 4 + 4 + k] = static_cast<std::uint8_t>((q1 + 2 * q2 + 4) / 9);
      }
      top[x * 4 + 3] = top[x * 4 + 7] = bottom[x * 4 + 3] = bottom[x * 4 + 7] = 255;
    }
  }
}

}  // namespace

AreaScaler::AreaScaler(std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th)
    : sw_(sw), sh_(sh), tw_(tw), th_(th) {
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (sw == tw && sh == th) {
    shape_ = Shape::copy;
  } else if (sw == 2 * std::uint64_t{tw} && sh == 2 * std::uint64_t{th}) {
    shape_ = Shape::halve;
  } else if (2 * std::uint64_t{sw} == 3 * std::uint64_t{tw} && 2 * std::uint64_t{sh} == 3 * std::uint64_t{th}) {
    shape_ = Shape::three_halves;
  } else if (sw % tw == 0 && sw / tw == sh / th && sh % th == 0 && sw / tw <= detail::kMaxBlock) {
    shape_ = Shape::whole_blocks;
    block_ = sw / tw;
    block_sums_.resize(std::size_t{sw} * 4);
  }
  if (shape_ != Shape::general) return;
  build_axis(sw, tw, columns_, column_weights_);
  build_axis(sh, th, rows_, row_weights_);
  // The weights of one target pixel add up to (sw / gx) * (sh / gy); dividing
  // sum and half-total by the same factors gives the same floor.
  divisor_ = std::uint64_t{sw} / std::gcd(sw, tw) * (sh / std::gcd(sh, th));
  const std::uint64_t limit = divisor_ * 255 + divisor_ / 2;
  divide_ = ExactDivider(divisor_, limit);
  const std::size_t line = std::size_t{tw} * 3;
  const bool narrow_weights =
      std::all_of(column_weights_.begin(), column_weights_.end(), [](std::uint32_t w) { return w < 0x8000; });
  if (limit <= 0xFFFFFFFFu && narrow_weights) {
    for (const Span& span : columns_) {
      paired_columns_.push_back({span.first, span.count, static_cast<std::uint32_t>(pair_weights_.size())});
      for (std::uint32_t i = 0; i < span.count; i += 2) {
        const std::uint32_t w0 = column_weights_[span.weights_at + i];
        const std::uint32_t w1 = i + 1 < span.count ? column_weights_[span.weights_at + i + 1] : 0;
        pair_weights_.push_back(w0 | w1 << 16);
      }
    }
    lines4_.resize(2 * std::size_t{tw} * 4);
    acc4_.resize(std::size_t{tw} * 4);
  }
  if (limit <= 0xFFFFFFFFu) {
    lines32_.resize(2 * line);
    acc32_.resize(line);
  } else {
    lines64_.resize(2 * line);
    acc64_.resize(line);
  }
}

void AreaScaler::scale(ByteView src, MutableBytes dst) {
  if (sw_ == 0 || sh_ == 0 || tw_ == 0 || th_ == 0) return;
  const std::size_t src_bytes = std::size_t{sw_} * sh_ * 4, dst_bytes = std::size_t{tw_} * th_ * 4;
  if (src.size() < src_bytes || dst.size() < dst_bytes) return;
  switch (shape_) {
    case Shape::copy: std::memcpy(dst.data(), src.data(), src_bytes); return;
    case Shape::halve: detail::halve_bgra(src.data(), tw_, th_, dst.data(), 2); return;
    case Shape::three_halves: three_halves(src.data(), tw_, th_, dst.data()); return;
    case Shape::whole_blocks:
      detail::block_average(src.data(), block_, tw_, th_, dst.data(), true, block_sums_.data());
      return;
    case Shape::general: break;
  }
  line_valid_[0] = line_valid_[1] = false;
  if (!acc4_.empty() && simd_level() != SimdLevel::scalar) {
    scale_general_vector(src.data(), dst.data());
  } else if (!acc32_.empty()) {
    scale_general(src.data(), dst.data(), lines32_, acc32_);
  } else {
    scale_general(src.data(), dst.data(), lines64_, acc64_);
  }
}

// `row`'s horizontal sums if one of the two slots holds them, else null.
std::uint32_t* AreaScaler::cached_line(std::uint32_t row, std::size_t line) {
  for (int i = 0; i < 2; ++i) {
    if (line_valid_[i] && line_rows_[i] == row) return lines4_.data() + i * line;
  }
  return nullptr;
}

// The slot that `row`'s horizontal sums go to, the older of the two.
std::uint32_t* AreaScaler::fill_line(std::uint32_t row, std::size_t line) {
  const int slot = line_next_;
  line_next_ ^= 1;
  line_valid_[slot] = true;
  line_rows_[slot] = row;
  return lines4_.data() + slot * line;
}

void AreaScaler::scale_general_vector(const std::uint8_t* src, std::uint8_t* dst) {
  const std::size_t line = std::size_t{tw_} * 4;
  const std::uint32_t half = static_cast<std::uint32_t>(divisor_ / 2);
  const auto vertical = simd_level() == SimdLevel::avx2 ? detail::area_vertical_avx2 : detail::area_vertical_sse2;
  for (std::size_t ty = 0; ty < th_; ++ty) {
    const Span& span = rows_[ty];
    for (std::uint32_t i = 0; i < span.count; ++i) {
      const std::uint32_t row = span.first + i;
      std::uint32_t* h = cached_line(row, line);
      if (h == nullptr) {
        h = fill_line(row, line);
        detail::area_horizontal_sse2(src + std::size_t{row} * sw_ * 4, paired_columns_.data(), pair_weights_.data(),
                                     tw_, h);
      }
      vertical(h, row_weights_[span.weights_at + i], line, acc4_.data(), i == 0, half);
    }
    std::uint8_t* out = dst + ty * line;
    if (divide_.shift() >= 0) {
      detail::area_shift_out_sse2(acc4_.data(), line, divide_.shift(), out);
      continue;
    }
    if (divide_.magic() != 0) {
      detail::area_magic_out_sse2(acc4_.data(), line, divide_.magic(), out);
      continue;
    }
    for (std::size_t i = 0; i < line; i += 4) {
      out[i] = static_cast<std::uint8_t>(divide_(acc4_[i]));
      out[i + 1] = static_cast<std::uint8_t>(divide_(acc4_[i + 1]));
      out[i + 2] = static_cast<std::uint8_t>(divide_(acc4_[i + 2]));
      out[i + 3] = 255;
    }
  }
}

template <class Sum>
const Sum* AreaScaler::horizontal(const std::uint8_t* src, std::uint32_t row, std::vector<Sum>& lines) {
  const std::size_t line = std::size_t{tw_} * 3;
  for (int i = 0; i < 2; ++i) {
    if (line_valid_[i] && line_rows_[i] == row) return lines.data() + i * line;
  }
  const int slot = line_next_;
  line_next_ ^= 1;
  line_valid_[slot] = true;
  line_rows_[slot] = row;
  Sum* out = lines.data() + slot * line;
  const std::uint8_t* pixels = src + std::size_t{row} * sw_ * 4;
  for (std::size_t tx = 0; tx < tw_; ++tx) {
    const Span& span = columns_[tx];
    const std::uint8_t* p = pixels + std::size_t{span.first} * 4;
    const std::uint32_t* w = column_weights_.data() + span.weights_at;
    Sum b = 0, g = 0, r = 0;
    for (std::uint32_t i = 0; i < span.count; ++i, p += 4) {
      b += Sum{w[i]} * p[0];
      g += Sum{w[i]} * p[1];
      r += Sum{w[i]} * p[2];
    }
    out[tx * 3] = b;
    out[tx * 3 + 1] = g;
    out[tx * 3 + 2] = r;
  }
  return out;
}

template <class Sum>
void AreaScaler::scale_general(const std::uint8_t* src, std::uint8_t* dst, std::vector<Sum>& lines,
                               std::vector<Sum>& acc) {
  const std::size_t line = std::size_t{tw_} * 3;
  const Sum half = static_cast<Sum>(divisor_ / 2);
  for (std::size_t ty = 0; ty < th_; ++ty) {
    const Span& span = rows_[ty];
    std::fill(acc.begin(), acc.end(), half);
    for (std::uint32_t i = 0; i < span.count; ++i) {
      const Sum w = row_weights_[span.weights_at + i];
      const Sum* h = horizontal(src, span.first + i, lines);
      for (std::size_t j = 0; j < line; ++j) acc[j] += w * h[j];
    }
    std::uint8_t* out = dst + ty * std::size_t{tw_} * 4;
    for (std::size_t tx = 0; tx < tw_; ++tx) {
      out[tx * 4] = static_cast<std::uint8_t>(divide_(acc[tx * 3]));
      out[tx * 4 + 1] = static_cast<std::uint8_t>(divide_(acc[tx * 3 + 1]));
      out[tx * 4 + 2] = static_cast<std::uint8_t>(divide_(acc[tx * 3 + 2]));
      out[tx * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra
