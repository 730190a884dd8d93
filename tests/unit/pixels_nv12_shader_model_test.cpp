// The shader model against the CPU pipeline; the shader itself is held to the
// model byte for byte by the Vulkan test of the Linux build.
#include "pixels/nv12_shader_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "pixels/area_scale.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

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
