#include "pixels/area_scale.h"

#include <algorithm>
#include <optional>

#include "pixels/area_scaler.h"

namespace nimbra {

void area_scale_reference(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                          std::uint32_t th) {
  if (sw == 0 || sh == 0 || tw == 0 || th == 0) return;
  if (src.size() < std::size_t{sw} * sh * 4 || dst.size() < std::size_t{tw} * th * 4) return;
  if (sw == tw && sh == th) {
    std::copy(src.begin(), src.begin() + std::size_t{sw} * sh * 4, dst.begin());
    return;
  }
  const std::uint64_t area = std::uint64_t{sw} * sh;
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

void area_scale(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                std::uint32_t th) {
  // Sizes rarely change, so the tables are built again only when they do.
  thread_local std::optional<AreaScaler> scaler;
  if (!scaler || !scaler->has_sizes(sw, sh, tw, th)) scaler.emplace(sw, sh, tw, th);
  scaler->scale(src, dst);
}

}  // namespace nimbra
