#include "pixels/area_scaler.h"

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
  if (sw == tw && sh == th) {
    shape_ = &AreaScaler::scale_copy;
  } else if (sw == 2 * tw && sh == 2 * th) {
    shape_ = &AreaScaler::scale_halve;
  } else if (2 * sw == 3 * tw && 2 * sh == 3 * th) {
    shape_ = &AreaScaler::scale_three_halves;
  } else if (3 * sw == 4 * tw && 3 * sh == 4 * th) {
    shape_ = &AreaScaler::scale_four_thirds;
  } else if (sw % tw == 0 && sh % th == 0 && sw / tw == sh / th && sw / tw <= detail::kMaxBlock) {
    shape_ = &AreaScaler::scale_whole_blocks;
    block_ = src_width / dst_width;
    block_sums_.resize(std::size_t{src_width} * 4);
  } else {
    shape_ = &AreaScaler::scale_general;
    general_.emplace(detail::Resampler::Kind::area, src_width, src_height, dst_width, dst_height);
  }
}

void AreaScaler::scale(ByteView src, MutableBytes dst) {
  if (sizes_.fit(src, dst)) (this->*shape_)(src.data(), dst.data());
}

void AreaScaler::scale_copy(const std::uint8_t* src, std::uint8_t* dst) {
  const std::size_t pixels = std::size_t{sizes_.src_width} * sizes_.src_height;
  for (std::size_t i = 0; i < pixels; ++i) {
    std::uint32_t v;
    std::memcpy(&v, src + i * 4, 4);
    v |= 0xFF000000u;  // little-endian: byte 3
    std::memcpy(dst + i * 4, &v, 4);
  }
}

void AreaScaler::scale_halve(const std::uint8_t* src, std::uint8_t* dst) {
  detail::halve_bgra(src, sizes_.dst_width, sizes_.dst_height, dst, 2);
}

void AreaScaler::scale_three_halves(const std::uint8_t* src, std::uint8_t* dst) {
  detail::three_halves_bgra(src, sizes_.dst_width, sizes_.dst_height, dst);
}

void AreaScaler::scale_four_thirds(const std::uint8_t* src, std::uint8_t* dst) {
  detail::four_thirds_bgra(src, sizes_.dst_width, sizes_.dst_height, dst, false);
}

void AreaScaler::scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst) {
  detail::block_average(src, block_, sizes_.dst_width, sizes_.dst_height, dst, true, block_sums_.data());
}

void AreaScaler::scale_general(const std::uint8_t* src, std::uint8_t* dst) { general_->run(src, dst); }

}  // namespace nimbra
