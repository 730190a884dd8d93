#include "pixels/box_downscale.h"

#include <algorithm>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"

namespace nimbra {

void box_downscale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                             std::uint32_t dst_width, std::uint32_t dst_height) {
  const std::uint64_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (src.size() < sw * sh * 4 || dst.size() < tw * th * 4) return;
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
      const std::uint64_t count = (x1 - x0) * (y1 - y0);
      std::uint8_t* p = &dst[(y * tw + x) * 4];
      for (int k = 0; k < 3; ++k) p[k] = static_cast<std::uint8_t>(sum[k] / count);
      p[3] = 255;
    }
  }
}

BoxScaler::BoxScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                     std::uint32_t dst_height)
    : sizes_{src_width, src_height, dst_width, dst_height} {
  const std::uint64_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (sizes_.empty()) return;
  if (sw == 2 * tw && sh == 2 * th) {
    shape_ = &BoxScaler::scale_halve;
  } else if (2 * sw == 3 * tw && 2 * sh == 3 * th) {
    shape_ = &BoxScaler::scale_three_halves;
  } else if (3 * sw == 4 * tw && 3 * sh == 4 * th) {
    shape_ = &BoxScaler::scale_four_thirds;
  } else if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    shape_ = &BoxScaler::scale_whole_blocks;
    block_ = src_width / dst_width;
    block_sums_.resize(std::size_t{src_width} * 4);
  } else {
    general_.emplace(detail::Resampler::Kind::box, src_width, src_height, dst_width, dst_height);
    shape_ = general_->usable() ? &BoxScaler::scale_general : &BoxScaler::scale_wide_spans;
  }
}

void BoxScaler::scale(ByteView src, MutableBytes dst) {
  if (sizes_.fit(src, dst)) (this->*shape_)(src.data(), dst.data());
}

void BoxScaler::scale_halve(const std::uint8_t* src, std::uint8_t* dst) {
  detail::halve_bgra(src, sizes_.dst_width, sizes_.dst_height, dst, 0);
}

void BoxScaler::scale_three_halves(const std::uint8_t* src, std::uint8_t* dst) {
  detail::box_three_halves_bgra(src, sizes_.dst_width, sizes_.dst_height, dst);
}

void BoxScaler::scale_four_thirds(const std::uint8_t* src, std::uint8_t* dst) {
  detail::four_thirds_bgra(src, sizes_.dst_width, sizes_.dst_height, dst, true);
}

void BoxScaler::scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst) {
  detail::block_average(src, block_, sizes_.dst_width, sizes_.dst_height, dst, false, block_sums_.data());
}

void BoxScaler::scale_general(const std::uint8_t* src, std::uint8_t* dst) { general_->run(src, dst); }

// Spans of more than 257 pixels, far beyond the low layer's sizes: the
// formula as written.
void BoxScaler::scale_wide_spans(const std::uint8_t* src, std::uint8_t* dst) {
  const detail::ScaleSizes& s = sizes_;
  box_downscale_reference({src, std::size_t{s.src_width} * s.src_height * 4}, s.src_width, s.src_height,
                          {dst, std::size_t{s.dst_width} * s.dst_height * 4}, s.dst_width, s.dst_height);
}

void box_downscale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                   std::uint32_t dst_width, std::uint32_t dst_height) {
  BoxScaler(src_width, src_height, dst_width, dst_height).scale(src, dst);
}

}  // namespace nimbra
