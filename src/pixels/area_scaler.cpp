#include "pixels/area_scaler.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"
#include "pixels/simd_level.h"

namespace nimbra {
namespace {

// Spans and weights of one axis, the weights divided by gcd(source, target),
// which divides every one of them.
void build_axis(std::uint64_t source, std::uint64_t target, std::vector<AreaScaler::Span>& spans,
                std::vector<std::uint32_t>& weights) {
  const std::uint64_t g = std::gcd(source, target);
  spans.resize(target);
  weights.clear();
  for (std::uint64_t i = 0; i < target; ++i) {
    const std::uint64_t first = i * source / target, end = ((i + 1) * source + target - 1) / target;
    spans[i] = {static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end - first),
                static_cast<std::uint32_t>(weights.size())};
    for (std::uint64_t p = first; p < end; ++p) {
      const std::uint64_t w = std::min((p + 1) * target, (i + 1) * source) - std::max(p * target, i * source);
      weights.push_back(static_cast<std::uint32_t>(w / g));
    }
  }
}

}  // namespace

AreaScaler::AreaScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                       std::uint32_t dst_height)
    : src_width_(src_width), src_height_(src_height), dst_width_(dst_width), dst_height_(dst_height) {
  const std::uint64_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (sw == tw && sh == th) {
    shape_ = &AreaScaler::scale_copy;
  } else if (sw == 2 * tw && sh == 2 * th) {
    shape_ = &AreaScaler::scale_halve;
  } else if (2 * sw == 3 * tw && 2 * sh == 3 * th) {
    shape_ = &AreaScaler::scale_three_halves;
  } else if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    shape_ = &AreaScaler::scale_whole_blocks;
    block_ = src_width / dst_width;
    block_sums_.resize(std::size_t{src_width} * 4);
  } else {
    shape_ = &AreaScaler::scale_general;
    prepare_general();
  }
}

void AreaScaler::scale(ByteView src, MutableBytes dst) {
  if (shape_ == nullptr) return;
  const std::size_t src_bytes = std::size_t{src_width_} * src_height_ * 4;
  const std::size_t dst_bytes = std::size_t{dst_width_} * dst_height_ * 4;
  if (src.size() < src_bytes || dst.size() < dst_bytes) return;
  (this->*shape_)(src.data(), dst.data());
}

void AreaScaler::scale_copy(const std::uint8_t* src, std::uint8_t* dst) {
  std::memcpy(dst, src, std::size_t{src_width_} * src_height_ * 4);
}

void AreaScaler::scale_halve(const std::uint8_t* src, std::uint8_t* dst) {
  detail::halve_bgra(src, dst_width_, dst_height_, dst, 2);
}

void AreaScaler::scale_three_halves(const std::uint8_t* src, std::uint8_t* dst) {
  detail::three_halves_bgra(src, dst_width_, dst_height_, dst);
}

void AreaScaler::scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst) {
  detail::block_average(src, block_, dst_width_, dst_height_, dst, true, block_sums_.data());
}

void AreaScaler::prepare_general() {
  const std::uint32_t sw = src_width_, sh = src_height_, tw = dst_width_, th = dst_height_;
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

void AreaScaler::scale_general(const std::uint8_t* src, std::uint8_t* dst) {
  line_valid_[0] = line_valid_[1] = false;
  if (!acc4_.empty() && simd_level() != SimdLevel::scalar) {
    general_simd(src, dst);
  } else if (!acc32_.empty()) {
    general_c(src, dst, lines32_, acc32_);
  } else {
    general_c(src, dst, lines64_, acc64_);
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

void AreaScaler::general_simd(const std::uint8_t* src, std::uint8_t* dst) {
  const std::size_t line = std::size_t{dst_width_} * 4;
  const std::uint32_t half = static_cast<std::uint32_t>(divisor_ / 2);
  const auto vertical = simd_level() == SimdLevel::avx2 ? detail::area_vertical_avx2 : detail::area_vertical_sse2;
  for (std::size_t ty = 0; ty < dst_height_; ++ty) {
    const Span& span = rows_[ty];
    for (std::uint32_t i = 0; i < span.count; ++i) {
      const std::uint32_t row = span.first + i;
      std::uint32_t* h = cached_line(row, line);
      if (h == nullptr) {
        h = fill_line(row, line);
        detail::area_horizontal_sse2(src + std::size_t{row} * src_width_ * 4, paired_columns_.data(),
                                     pair_weights_.data(), dst_width_, h);
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
const Sum* AreaScaler::horizontal_c(const std::uint8_t* src, std::uint32_t row, std::vector<Sum>& lines) {
  const std::size_t line = std::size_t{dst_width_} * 3;
  for (int i = 0; i < 2; ++i) {
    if (line_valid_[i] && line_rows_[i] == row) return lines.data() + i * line;
  }
  const int slot = line_next_;
  line_next_ ^= 1;
  line_valid_[slot] = true;
  line_rows_[slot] = row;
  Sum* out = lines.data() + slot * line;
  const std::uint8_t* pixels = src + std::size_t{row} * src_width_ * 4;
  for (std::size_t tx = 0; tx < dst_width_; ++tx) {
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
void AreaScaler::general_c(const std::uint8_t* src, std::uint8_t* dst, std::vector<Sum>& lines,
                           std::vector<Sum>& acc) {
  const std::size_t line = std::size_t{dst_width_} * 3;
  const Sum half = static_cast<Sum>(divisor_ / 2);
  for (std::size_t ty = 0; ty < dst_height_; ++ty) {
    const Span& span = rows_[ty];
    std::fill(acc.begin(), acc.end(), half);
    for (std::uint32_t i = 0; i < span.count; ++i) {
      const Sum w = row_weights_[span.weights_at + i];
      const Sum* h = horizontal_c(src, span.first + i, lines);
      for (std::size_t j = 0; j < line; ++j) acc[j] += w * h[j];
    }
    std::uint8_t* out = dst + ty * std::size_t{dst_width_} * 4;
    for (std::size_t tx = 0; tx < dst_width_; ++tx) {
      out[tx * 4] = static_cast<std::uint8_t>(divide_(acc[tx * 3]));
      out[tx * 4 + 1] = static_cast<std::uint8_t>(divide_(acc[tx * 3 + 1]));
      out[tx * 4 + 2] = static_cast<std::uint8_t>(divide_(acc[tx * 3 + 2]));
      out[tx * 4 + 3] = 255;
    }
  }
}

}  // namespace nimbra
