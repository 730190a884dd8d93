#include "capture/gpu_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbra {
namespace {

// Only the read-back matters to the check.
class ReadBackOnly final : public GpuConversion {
 public:
  ReadBackOnly(Size size, Result<Bytes> image) : size_(size), image_(std::move(image)) {}
  Status enable(Size, std::optional<Size>) override { return {}; }
  bool enabled() const override { return true; }
  Size source_size() const override { return size_; }
  Result<bool> convert(Bytes&, Bytes*, std::uint32_t) override { return false; }
  Status repeat(Bytes&, Bytes*) override { return {}; }
  Status read_back_bgra(Bytes& out) override {
    if (!image_) return fail(image_.error());
    out = *image_;
    return {};
  }

 private:
  Size size_;
  Result<Bytes> image_;
};

std::vector<std::string> run_check(GpuConversion& gpu, const Bytes& nv12, Size size) {
  std::vector<std::string> lines;
  gpu_check(gpu, nv12, size, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

// An 8x6 image of 2x3 grey blocks: at 4x2 each block becomes one pixel of its
// grey exactly, so the CPU picture is known (greys have U = V = 128).
Bytes grey_blocks() {
  const std::uint8_t greys[] = {0, 128, 255, 96, 96, 255, 128, 0};
  Bytes image;
  for (int sy = 0; sy < 6; ++sy) {
    for (int sx = 0; sx < 8; ++sx) {
      const std::uint8_t g = greys[sy / 3 * 4 + sx / 2];
      image.insert(image.end(), {g, g, g, 255});
    }
  }
  return image;
}

TEST(GpuCheck, ReportsHowFarTheGpuPictureLiesFromTheCpuPipeline) {
  ReadBackOnly gpu({8, 6}, grey_blocks());
  const Bytes same = {16, 126, 235, 99, 99, 235, 126, 16, 128, 128, 128, 128};
  Bytes off = same;
  off[2] = 238;  // 3 codes: over 2
  off[5] = 234;
  off[9] = 130;  // 2 codes: not over 2
  struct Case {
    const Bytes& nv12;
    const char* line;
  };
  const Case cases[] = {
      {same, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.000 макс 0 >2: 0.000% | UV откл. ср 0.000 макс 0 >2: 0.000%"},
      {off, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.500 макс 3 >2: 12.500% | UV откл. ср 0.500 макс 2 >2: 0.000%"},
  };
  for (const Case& c : cases) EXPECT_EQ(run_check(gpu, c.nv12, {4, 2}), std::vector<std::string>{c.line});
}

TEST(GpuCheck, AFailedReadBackIsReportedAndEndsTheCheck) {
  ReadBackOnly gpu({8, 6}, fail("нет GPU-кадра"));
  EXPECT_EQ(run_check(gpu, Bytes(12, 126), {4, 2}), std::vector<std::string>{"[gpu-check] нет GPU-кадра"});
}

}  // namespace
}  // namespace nimbra
