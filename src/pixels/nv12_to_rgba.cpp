#include "pixels/nv12_to_rgba.h"

#include <algorithm>
#include <limits>
#include <string>

namespace nimbra {
namespace {

std::uint8_t clamp_shift(int v) { return v < 256 ? 0 : static_cast<std::uint8_t>(std::min(v >> 8, 255)); }

}  // namespace

void nv12_to_rgba_reference(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t w,
                            std::uint32_t h, std::uint32_t stride, std::uint8_t* rgba) {
  for (std::size_t r = 0; r < h; ++r) {
    for (std::size_t c = 0; c < w; ++c) {
      const int l = std::max<int>(luma[r * stride + c], 16);
      const std::uint8_t* uv = chroma + (r / 2) * stride + (c & ~std::size_t{1});
      const int t = 298 * l - 4640, d = uv[0] - 128, e = uv[1] - 128;
      std::uint8_t* p = rgba + (r * w + c) * 4;
      p[0] = clamp_shift(t + 409 * e);
      p[1] = clamp_shift(t - 100 * d - 208 * e);
      p[2] = clamp_shift(t + 516 * d);
      p[3] = 255;
    }
  }
}

Status nv12_to_rgba(ByteView nv12, std::uint32_t w, std::uint32_t h, std::uint32_t stride, Bytes& rgba) {
  const std::size_t n = nv12.size();
  if (n % 3 != 0 || stride == 0 || stride < w) return fail("invalid stride or size");
  const std::size_t luma = 2 * n / 3 / 2 * 2;
  if (luma % stride != 0 || luma / stride < h || luma / stride > std::size_t{h} + 128) {
    return fail("invalid NV12 layout " + std::to_string(n) + " stride " + std::to_string(stride));
  }
  if (h == 0 || luma + std::size_t{(h - 1) / 2} * stride + w > n) return fail("short NV12 plane");
  if (std::size_t{w} * h > std::numeric_limits<std::size_t>::max() / 4) return fail("size overflow");
  rgba.resize(std::size_t{w} * h * 4);
  nv12_to_rgba_reference(nv12.data(), nv12.data() + luma, w, h, stride, rgba.data());
  return {};
}

}  // namespace nimbra
