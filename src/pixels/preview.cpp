#include "pixels/preview.h"

#include <algorithm>

namespace nimbra {
namespace {

std::uint8_t clamp_shift(int v) { return static_cast<std::uint8_t>(std::clamp(v >> 8, 0, 255)); }

}  // namespace

void preview_from_nv12(ByteView nv12, std::uint32_t w, std::uint32_t h, MutableBytes out) {
  const std::size_t luma = std::size_t{w} * h;
  if (nv12.size() < luma * 3 / 2) {
    std::fill(out.begin(), out.begin() + kPreviewBytes, 0);
    return;
  }
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint64_t sy = y * h / kPreviewHeight, row = y * h / (2 * kPreviewHeight);
    for (std::uint64_t x = 0; x < kPreviewWidth; ++x) {
      const std::uint64_t sx = x * w / kPreviewWidth;
      const int c = nv12[sy * w + sx] - 16;
      const std::size_t uv = luma + row * w + (sx & ~std::uint64_t{1});
      const int d = nv12[uv] - 128, e = nv12[uv + 1] - 128;
      std::uint8_t* p = &out[(y * kPreviewWidth + x) * 4];
      p[0] = clamp_shift(298 * c + 516 * d + 128);
      p[1] = clamp_shift(298 * c - 100 * d - 208 * e + 128);
      p[2] = clamp_shift(298 * c + 409 * e + 128);
      p[3] = 255;
    }
  }
}

void preview_from_bgra(ByteView bgra, std::uint32_t w, std::uint32_t h, MutableBytes out) {
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint64_t sy = y * h / kPreviewHeight;
    for (std::uint64_t x = 0; x < kPreviewWidth; ++x) {
      const std::uint8_t* s = &bgra[(sy * w + x * w / kPreviewWidth) * 4];
      std::uint8_t* p = &out[(y * kPreviewWidth + x) * 4];
      p[0] = s[0];
      p[1] = s[1];
      p[2] = s[2];
      p[3] = 255;
    }
  }
}

}  // namespace nimbra
