#include "pixels/nv12_shader_model.h"

#include <algorithm>
#include <cmath>

namespace nimbra {

Nv12ShaderConstants nv12_shader_constants(Size source, Size target) {
  Nv12ShaderConstants constants;
  constants.src_width = source.width;
  constants.src_height = source.height;
  constants.dst_width = target.width;
  constants.dst_height = target.height;
  constants.scale_x = static_cast<float>(source.width) / static_cast<float>(target.width);
  constants.scale_y = static_cast<float>(source.height) / static_cast<float>(target.height);
  return constants;
}

namespace {

// Every expression below keeps the shader's operand order: with IEEE single
// precision and no contraction into fused multiply-adds, each result is the
// same float the shader computes.
struct Rgb {
  float r, g, b;
};

Rgb area_mean(ByteView bgra, const Nv12ShaderConstants& c, std::uint32_t px, std::uint32_t py) {
  const float fx0 = static_cast<float>(px) * c.scale_x;
  const float fx1 = static_cast<float>(px + 1) * c.scale_x;
  const float fy0 = static_cast<float>(py) * c.scale_y;
  const float fy1 = static_cast<float>(py + 1) * c.scale_y;
  const int x_begin = static_cast<int>(std::floor(fx0));
  const int x_end = std::min(static_cast<int>(std::ceil(fx1)), static_cast<int>(c.src_width));
  const int y_begin = static_cast<int>(std::floor(fy0));
  const int y_end = std::min(static_cast<int>(std::ceil(fy1)), static_cast<int>(c.src_height));

  Rgb sum{0.0f, 0.0f, 0.0f};
  float weight_sum = 0.0f;
  for (int sy = y_begin; sy < y_end; ++sy) {
    const float wy = std::min(static_cast<float>(sy + 1), fy1) - std::max(static_cast<float>(sy), fy0);
    for (int sx = x_begin; sx < x_end; ++sx) {
      const float w = (std::min(static_cast<float>(sx + 1), fx1) - std::max(static_cast<float>(sx), fx0)) * wy;
      if (w <= 0.0f) continue;
      const std::uint8_t* texel = &bgra[(static_cast<std::size_t>(sy) * c.src_width + sx) * 4];
      sum.r = sum.r + w * static_cast<float>(texel[2]);
      sum.g = sum.g + w * static_cast<float>(texel[1]);
      sum.b = sum.b + w * static_cast<float>(texel[0]);
      weight_sum = weight_sum + w;
    }
  }
  const float divisor = std::max(weight_sum, 0.000001f);
  return {sum.r / divisor, sum.g / divisor, sum.b / divisor};
}

std::uint8_t unorm_code(float value) {
  return static_cast<std::uint8_t>(std::clamp(std::floor(value + 0.5f), 0.0f, 255.0f));
}

std::uint8_t luma(Rgb p) { return unorm_code(0.2578125f * p.r + 0.50390625f * p.g + 0.09765625f * p.b + 16.0f); }

}  // namespace

void nv12_shader_model(ByteView bgra, const Nv12ShaderConstants& c, MutableBytes nv12) {
  const std::size_t width = c.dst_width, height = c.dst_height;
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) return;
  if (bgra.size() < std::size_t{c.src_width} * c.src_height * 4 || nv12.size() < width * height * 3 / 2) return;
  std::uint8_t* uv = nv12.data() + width * height;
  for (std::uint32_t y = 0; y < height / 2; ++y) {
    for (std::uint32_t x = 0; x < width / 2; ++x) {
      const std::uint32_t px = 2 * x, py = 2 * y;
      const Rgb p00 = area_mean(bgra, c, px, py), p10 = area_mean(bgra, c, px + 1, py);
      const Rgb p01 = area_mean(bgra, c, px, py + 1), p11 = area_mean(bgra, c, px + 1, py + 1);
      nv12[py * width + px] = luma(p00);
      nv12[py * width + px + 1] = luma(p10);
      nv12[(py + 1) * width + px] = luma(p01);
      nv12[(py + 1) * width + px + 1] = luma(p11);
      const Rgb block{(p00.r + p10.r + p01.r + p11.r) * 0.25f, (p00.g + p10.g + p01.g + p11.g) * 0.25f,
                      (p00.b + p10.b + p01.b + p11.b) * 0.25f};
      uv[y * width + 2 * x] = unorm_code(-0.1484375f * block.r - 0.2890625f * block.g + 0.4375f * block.b + 128.0f);
      uv[y * width + 2 * x + 1] = unorm_code(0.4375f * block.r - 0.3671875f * block.g - 0.0703125f * block.b + 128.0f);
    }
  }
}

}  // namespace nimbra
