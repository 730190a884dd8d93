#include "pixels/box_downscale.h"

#include <algorithm>

namespace nimbra {

void box_downscale_reference(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst,
                             std::uint32_t tw, std::uint32_t th) {
  if (sw == 0 || sh == 0 || tw == 0 || th == 0 || src.size() < std::size_t{sw} * sh * 4) return;
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
  box_downscale_reference(src, sw, sh, dst, tw, th);
}

}  // namespace nimbra
