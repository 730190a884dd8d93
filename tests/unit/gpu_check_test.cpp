#include "capture/gpu_check.h"

#include <gtest/gtest.h>

#include "fakes/session_rig.h"

namespace nimbra {
namespace {

TEST(GpuCheck, ReportsHowFarTheGpuPictureLiesFromTheCpuPipeline) {
  // An 8x6 image of 2x3 grey blocks: at 4x2 each block becomes one pixel of
  // its grey exactly, so the CPU picture is known (greys have U = V = 128).
  const std::uint8_t greys[] = {0, 128, 255, 96, 96, 255, 128, 0};
  Bytes image;
  for (int i = 0; i < 48; ++i) image.insert(image.end(), 3, greys[i / 24 * 4 + i % 8 / 2]), image.push_back(255);
  const Bytes same = {16, 126, 235, 99, 99, 235, 126, 16, 128, 128, 128, 128};
  Bytes off = same;
  off[0] = 19;  // 3 codes: over 2, in the very first pair
  off[5] = 234;
  off[9] = 130;  // 2 codes: not over 2
  const std::tuple<Bytes, Bytes, const char*> cases[] = {
      {image, same, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.000 макс 0 >2: 0.000% | UV откл. ср 0.000 макс 0 >2: 0.000%"},
      {image, off, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.500 макс 3 >2: 12.500% | UV откл. ср 0.500 макс 2 >2: 0.000%"},
      {{}, same, "[gpu-check] нет GPU-кадра"},
  };
  for (const auto& [read_back, nv12, line] : cases) {
    testing::FakeClock clock;
    testing::FakeSourceState state;
    state.size = {8, 6};
    state.read_back = read_back;
    testing::FakeSource gpu(state, clock);
    std::vector<std::string> lines;
    gpu_check(gpu, nv12, {4, 2}, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(lines, std::vector<std::string>{line});
  }
}

}  // namespace
}  // namespace nimbra
