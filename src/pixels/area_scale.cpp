#include "pixels/area_scale.h"

#include <algorithm>

#include "pixels/area_scaler.h"

namespace nimbra {

void area_scale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                          std::uint32_t dst_width, std::uint32_t dst_height) {
  const std::uint64_t sw = src_width, sh = src_height, tw = dst_width, th = dst_height;
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (src.size() < sw * sh * 4 || dst.size() < tw * th * 4) return;
  if (sw == tw && sh == th) {
    for (std::size_t i = 0; i < sw * sh * 4; ++i) dst[i] = i % 4 == 3 ? 255 : src[i];
    return;
  }
  const std::uint64_t area = sw * sh;
  for (std::uint64_t ty = 0; ty < th; ++ty) {
    const std::uint64_t y0 = ty * sh / th, y1 = ((ty + 1) * sh + th - 1) / th;
    for (std::uint64_t tx = 0; tx < tw; ++tx) {
      const std::uint64_t x0 = tx * sw / tw, x1 = ((tx + 1) * sw + tw - 1) / tw;
      std::uint64_t sum[3] = {0, 0, 0};
      for (std::uint64_t sy = y0; sy < y1; ++sy) {
        const std::uint64_t wy = std::min((sy + 1) * th, (ty + 1) * sh) - std::max(sy * th, ty * sh);
        for (std::uint64_t sx = x0; sx < x1; ++sx) {
          const std::uint64_t wx = std::min((sx + 1) * tw, (tx + 1) * sw) - std::max(sx * tw, tx * sw);
          const std::uint8_t* p = &src[(sy * sw + sx) * 4];
          for (int k = 0; k < 3; ++k) sum[k] += wx * wy * p[k];
        }
      }
      std::uint8_t* q = &dst[(ty * tw + tx) * 4];
      for (int k = 0; k < 3; ++k) q[k] = static_cast<std::uint8_t>((sum[k] + area / 2) / area);
      q[3] = 255;
    }
  }
}

void area_scale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                std::uint32_t dst_width, std::uint32_t dst_height) {
  AreaScaler(src_width, src_height, dst_width, dst_height).scale(src, dst);
}

}  // namespace nimbra
