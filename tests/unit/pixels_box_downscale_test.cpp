#include <gtest/gtest.h>

#include "pixels/box_downscale.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::available_levels;
using testing::ForcedSimdLevel;
using testing::Sizes;

Bytes boxed(const Bytes& src, const Sizes& s) {
  Bytes dst(std::size_t{s.dst_width} * s.dst_height * 4, 0xEE);
  box_downscale(src, s.src_width, s.src_height, dst, s.dst_width, s.dst_height);
  return dst;
}

TEST(PixelsBoxDownscale, MatchesReferenceInEveryShapeOnEveryInstructionSet) {
  // Every fifth size made of 0 and 255 only, the limits of the sums.
  std::mt19937 rng(41);
  const std::vector<Sizes> sizes = testing::scaling_sizes(rng);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const Sizes& s = sizes[i];
      const std::size_t n = std::size_t{s.src_width} * s.src_height * 4;
      const Bytes src = i % 5 == 4 ? testing::extreme_bytes(rng, n) : testing::random_bytes(rng, n);
      Bytes expected(std::size_t{s.dst_width} * s.dst_height * 4, 0xEE);
      box_downscale_reference(src, s.src_width, s.src_height, expected, s.dst_width, s.dst_height);
      ASSERT_EQ(boxed(src, s), expected) << testing::where(level, s);
    }
  }
}

TEST(PixelsBoxDownscale, AveragesSpansAndTruncates) {
  // Blocks of 2 x 2 and 3 x 3 (the low layer from 720p and 1080p): block 0
  // holds one 0 and the rest 1 (mean just below 1), block 1 is 200 in red.
  for (auto [src_width, src_height, k] : {std::tuple{1280u, 720u, 2u}, {1920u, 1080u, 3u}}) {
    Bytes src(std::size_t{src_width} * src_height * 4, 0);
    for (std::uint32_t i = 0; i < k * k - 1; ++i) src[((i / k) * src_width + i % k) * 4] = 1;
    for (std::uint32_t dy = 0; dy < k; ++dy) {
      for (std::uint32_t dx = 0; dx < k; ++dx) src[(dy * src_width + k + dx) * 4 + 2] = 200;
    }
    const Bytes out = boxed(src, {src_width, src_height, 640, 360});
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0, 0, 0, 255, 0, 0, 200, 255})) << src_width;
  }
  // 3 to 2: spans [0] and [1, 2]; 5 to 1 one span; 1 to 3 repeats the pixel.
  struct Case {
    Bytes src;
    Sizes sizes;
    Bytes expected;
  };
  const Case cases[] = {
      {{9, 9, 9, 0, 10, 20, 30, 0, 11, 20, 31, 0}, {3, 1, 2, 1}, {9, 9, 9, 255, 10, 20, 30, 255}},
      {testing::repeated({1, 2, 3, 4}, 4), {4, 1, 1, 1}, {1, 2, 3, 255}},
      {{7, 8, 9, 0}, {1, 1, 3, 1}, testing::repeated({7, 8, 9, 255}, 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(boxed(c.src, c.sizes), c.expected) << c.sizes.src_width;
}

TEST(PixelsBoxDownscale, ScalerKnowsItsSizesAndUnusableInputLeavesTargetAlone) {
  const BoxScaler scaler(8, 8, 4, 4);
  EXPECT_TRUE(scaler.has_sizes(8, 8, 4, 4));
  EXPECT_FALSE(scaler.has_sizes(8, 8, 4, 3));
  const Bytes src(8 * 8 * 4, 9);
  struct Case {
    Sizes sizes;
    std::size_t src_bytes, dst_bytes;
  };
  const Case cases[] = {{{0, 8, 4, 4}, 256, 64}, {{8, 0, 4, 4}, 256, 64}, {{8, 8, 4, 4}, 255, 64},
                        {{8, 8, 4, 4}, 256, 63}, {{8, 8, 0, 4}, 256, 64}};
  for (const Case& c : cases) {
    Bytes dst(c.dst_bytes, 0x42);
    box_downscale(ByteView(src).first(c.src_bytes), c.sizes.src_width, c.sizes.src_height, dst,
                  c.sizes.dst_width, c.sizes.dst_height);
    EXPECT_EQ(dst, Bytes(c.dst_bytes, 0x42)) << c.src_bytes << " " << c.dst_bytes;
  }
}

}  // namespace
}  // namespace nimbra
