#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <random>
#include <string>

#include "pixels/area_scale.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels/nv12_shader_model.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

Bytes model(const Bytes& bgra, const Nv12ShaderConstants& constants) {
  Bytes nv12(std::size_t{constants.dst_width} * constants.dst_height * 3 / 2, 0xEE);
  nv12_shader_model(bgra, constants, nv12);
  return nv12;
}

Bytes uniform(Size size, std::array<std::uint8_t, 3> bgr) {
  Bytes image;
  for (std::size_t i = 0; i < std::size_t{size.width} * size.height; ++i) {
    image.insert(image.end(), {bgr[0], bgr[1], bgr[2], 255});
  }
  return image;
}

TEST(Nv12ShaderModel, UniformColoursAtEveryRatio) {
  struct Colour {
    std::array<std::uint8_t, 3> bgr;
    std::uint8_t y, u, v;
  };
  const Colour colours[] = {
      {{128, 128, 128}, 126, 128, 128}, {{96, 96, 96}, 99, 128, 128},  // Y 98.5 exactly: halves round up
      {{0, 0, 0}, 16, 128, 128},        {{255, 255, 255}, 235, 128, 128}, {{0, 0, 255}, 82, 90, 240},
  };
  // Ratios whose weights are exact in binary: elsewhere (1366 -> 1280, say) a
  // uniform grey's mean can land a hair below it, and a Y on a half such as
  // 96's rounds down at some pixels.
  const std::pair<Size, Size> ratios[] = {{{96, 54}, {64, 36}}, {{6, 4}, {6, 4}}, {{5, 3}, {12, 8}}};
  for (const auto& [source, target] : ratios) {
    const std::size_t pixels = std::size_t{target.width} * target.height;
    for (const Colour& c : colours) {
      const Bytes out = model(uniform(source, c.bgr), nv12_shader_constants(source, target));
      Bytes expected(pixels, c.y);
      for (std::size_t i = 0; i < pixels / 4; ++i) expected.insert(expected.end(), {c.u, c.v});
      ASSERT_EQ(out, expected) << source.width << "x" << source.height << " grey-ish " << int{c.bgr[0]};
    }
  }
}

TEST(Nv12ShaderModel, EachOutputPixelTakesTheTexelsUnderIt) {
  // Upscaling 2x1 to 8x2: every pixel lies inside one texel and takes it
  // whole. Past the source (a factor of 1 where 1/4 belongs) pixels are black.
  const Bytes red_blue = {0, 0, 255, 255, 255, 0, 0, 255};
  struct Case {
    float scale_x;
    Bytes expected;
  };
  const Case cases[] = {
      {0.25f, {82, 82, 82, 82, 41, 41, 41, 41, 82, 82, 82, 82, 41, 41, 41, 41, 90, 240, 90, 240, 240, 110, 240, 110}},
      {1.0f, {82, 41, 16, 16, 16, 16, 16, 16, 82, 41, 16, 16, 16, 16, 16, 16, 165, 175, 128, 128, 128, 128, 128, 128}},
  };
  for (const Case& c : cases) {
    Nv12ShaderConstants constants = nv12_shader_constants({2, 1}, {8, 2});
    constants.scale_x = c.scale_x;
    EXPECT_EQ(model(red_blue, constants), c.expected) << c.scale_x;
  }
}

TEST(Nv12ShaderModel, StaysWithinOneCodeOfTheCpuPipeline) {
  // The CPU path rounds the scaled channels and truncates the chroma means,
  // the shader keeps both exact: at most one code apart at any ratio, and the
  // same luma where nothing is scaled. This is what the GPU check reads on a
  // sound GPU.
  std::mt19937 rng(3);
  const std::pair<Size, Size> ratios[] = {
      {{64, 36}, {64, 36}}, {{96, 54}, {64, 36}}, {{128, 72}, {64, 36}}, {{71, 41}, {64, 36}}, {{50, 30}, {64, 36}}};
  for (const auto& [source, target] : ratios) {
    const Bytes image = testing::random_bytes(rng, std::size_t{source.width} * source.height * 4);
    const std::size_t pixels = std::size_t{target.width} * target.height;
    Bytes scaled(pixels * 4), cpu(pixels * 3 / 2);
    area_scale(image, source.width, source.height, scaled, target.width, target.height);
    bgra_to_nv12(scaled, target.width, target.height, cpu);
    const Bytes gpu = model(image, nv12_shader_constants(source, target));
    const int luma_limit = source == target ? 0 : 1;
    for (std::size_t i = 0; i < gpu.size(); ++i) {
      ASSERT_LE(std::abs(gpu[i] - cpu[i]), i < pixels ? luma_limit : 1)
          << source.width << "x" << source.height << " byte " << i;
    }
  }
}

}  // namespace
}  // namespace nimbra
