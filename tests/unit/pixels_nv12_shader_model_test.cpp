// The shader model on worked values and against the CPU pipeline; the shader
// itself is held to the model byte for byte by the Vulkan test of the Linux build.
#include "pixels/nv12_shader_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "pixels/area_scale.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

Bytes model(const Bytes& bgra, const Nv12ShaderConstants& constants) {
  Bytes nv12(std::size_t{constants.dst_width} * constants.dst_height * 3 / 2, 0xEE);
  nv12_shader_model(bgra, constants, nv12);
  return nv12;
}

TEST(Nv12ShaderModel, WorkedValues) {
  // Uniform colours (96's Y of 98.5 rounds up) at ratios whose weights are
  // exact in binary: elsewhere a uniform mean can land a hair below it.
  const std::pair<Size, Size> ratios[] = {{{96, 54}, {64, 36}}, {{6, 4}, {6, 4}}, {{5, 3}, {12, 8}}};
  for (auto [grey, y] : {std::pair<std::uint8_t, std::uint8_t>{128, 126}, {96, 99}, {0, 16}, {255, 235}}) {
    for (const auto& [source, target] : ratios) {
      Bytes image(std::size_t{source.width} * source.height * 4, grey), want(std::size_t{target.width} * target.height, y);
      want.resize(want.size() * 3 / 2, 128);
      EXPECT_EQ(model(image, nv12_shader_constants(source, target)), want) << int{grey} << " " << source.width;
    }
  }
  // Red and blue upscaled from 2x1 to 8x2: each pixel takes the texel under
  // it whole; past the source (a factor of 1 where 1/4 belongs) it is black.
  const Bytes red_blue = {0, 0, 255, 255, 255, 0, 0, 255};
  for (auto [scale_x, want] : {std::pair<float, Bytes>{0.25f, {82, 82, 82, 82, 41, 41, 41, 41, 82, 82, 82, 82, 41, 41, 41, 41,
                                                               90, 240, 90, 240, 240, 110, 240, 110}},
                               {1.0f, {82, 41, 16, 16, 16, 16, 16, 16, 82, 41, 16, 16, 16, 16, 16, 16, 165, 175, 128, 128,
                                       128, 128, 128, 128}}}) {
    Nv12ShaderConstants constants = nv12_shader_constants({2, 1}, {8, 2});
    constants.scale_x = scale_x;
    EXPECT_EQ(model(red_blue, constants), want) << scale_x;
  }
}

TEST(Nv12ShaderModel, StaysWithinOneCodeOfTheCpuPipeline) {
  // The CPU path rounds the scaled channels and truncates the chroma means, the shader keeps both exact: at most one
  // code apart at any ratio (what the GPU check reads on a sound GPU), and the same luma where nothing is scaled.
  std::mt19937 rng(3);
  const std::pair<Size, Size> ratios[] = {
      {{64, 36}, {64, 36}}, {{96, 54}, {64, 36}}, {{128, 72}, {64, 36}}, {{71, 41}, {64, 36}}, {{50, 30}, {64, 36}}};
  for (const auto& [source, target] : ratios) {
    const Bytes image = testing::random_bytes(rng, std::size_t{source.width} * source.height * 4);
    const std::size_t pixels = std::size_t{target.width} * target.height;
    Bytes scaled(pixels * 4), cpu(pixels * 3 / 2), gpu(pixels * 3 / 2, 0xEE);
    area_scale(image, source.width, source.height, scaled, target.width, target.height);
    bgra_to_nv12(scaled, target.width, target.height, cpu);
    nv12_shader_model(image, nv12_shader_constants(source, target), gpu);
    for (std::size_t i = 0; i < gpu.size(); ++i) {
      ASSERT_LE(std::abs(gpu[i] - cpu[i]), i < pixels && source == target ? 0 : 1)
          << source.width << "x" << source.height << " byte " << i;
    }
  }
}

}  // namespace
}  // namespace nimbra
