#include "pixels/area_scaler.h"

#include <algorithm>
#include <cstring>

#include "pixels/area_scale_rows.h"
#include "pixels/block_average.h"
#include "pixels/simd_level.h"

namespace nimbra {

AreaScaler::AreaScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                       std::uint32_t dst_height)
    : sizes_{src_width, src_height, dst_width, dst_height} {
  const std::uint64_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (sizes_.empty()) return;
  auto fixed = [this](Shape shape, std::uint32_t source_rows, std::uint32_t target_rows) {
    shape_ = shape;
    group_src_ = source_rows;
    group_dst_ = target_rows;
  };
  if (sw == tw && sh == th) {
    fixed(&AreaScaler::scale_copy, 1, 1);
  } else if (sw == 2 * tw && sh == 2 * th) {
    fixed(&AreaScaler::scale_halve, 2, 1);
  } else if (2 * sw == 3 * tw && 2 * sh == 3 * th) {
    fixed(&AreaScaler::scale_three_halves, 3, 2);
  } else if (3 * sw == 4 * tw && 3 * sh == 4 * th) {
    fixed(&AreaScaler::scale_four_thirds, 4, 3);
  } else if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    block_ = src_width / dst_width;
    fixed(&AreaScaler::scale_whole_blocks, block_, 1);
    block_sums_.resize(std::size_t{src_width} * 4);
  } else {
    general_.emplace(detail::Resampler::Kind::area, src_width, src_height, dst_width, dst_height);
  }
}

RowSpan AreaScaler::scale(ByteView src, MutableBytes dst, RowSpan changed) {
  if (!sizes_.fit(src, dst)) return {};
  changed.end = std::min(changed.end, sizes_.src_height);
  if (changed.empty()) return {};
  if (general_) {
    const RowSpan rows = general_->target_rows(changed.first, changed.end);
    general_->run(src.data(), dst.data(), rows.first, rows.end);
    return rows;
  }
  // The whole groups the changed rows fall in.
  const RowSpan rows{changed.first / group_src_ * group_dst_,
                     std::min((changed.end + group_src_ - 1) / group_src_ * group_dst_, sizes_.dst_height)};
  const std::size_t first_source_row = std::size_t{rows.first} / group_dst_ * group_src_;
  (this->*shape_)(src.data() + first_source_row * sizes_.src_width * 4,
                  dst.data() + std::size_t{rows.first} * sizes_.dst_width * 4, rows.end - rows.first);
  return rows;
}

void AreaScaler::scale_copy(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows) {
  const std::size_t pixels = std::size_t{sizes_.src_width} * dst_rows;
  for (std::size_t i = 0; i < pixels; ++i) {
    std::uint32_t v;
    std::memcpy(&v, src + i * 4, 4);
    v |= 0xFF000000u;  // little-endian: byte 3
    std::memcpy(dst + i * 4, &v, 4);
  }
}

void AreaScaler::scale_halve(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows) {
  detail::halve_bgra(src, sizes_.dst_width, dst_rows, dst, 2);
}

void AreaScaler::scale_three_halves(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows) {
  detail::three_halves_bgra(src, sizes_.dst_width, dst_rows, dst);
}

void AreaScaler::scale_four_thirds(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows) {
  detail::four_thirds_bgra(src, sizes_.dst_width, dst_rows, dst, false);
}

void AreaScaler::scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows) {
  detail::block_average(src, block_, sizes_.dst_width, dst_rows, dst, true, block_sums_.data());
}

}  // namespace nimbra
