#include <gtest/gtest.h>

#include "pixels/box_downscale.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::available_levels;
using testing::ForcedSimdLevel;

Bytes boxed(const Bytes& src, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) {
  Bytes dst(std::size_t{tw} * th * 4, 0xEE);
  box_downscale(src, sw, sh, dst, tw, th);
  return dst;
}

void expect_like_reference(std::mt19937& rng, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw,
                           std::uint32_t th, SimdLevel level) {
  const Bytes src = testing::random_bytes(rng, std::size_t{sw} * sh * 4);
  Bytes expected(std::size_t{tw} * th * 4, 0xEE);
  box_downscale_reference(src, sw, sh, expected, tw, th);
  ASSERT_EQ(boxed(src, sw, sh, tw, th), expected) << testing::where(level, sw, sh) << " -> " << tw << "x" << th;
}

TEST(PixelsBoxDownscale, MatchesReferenceOnRandomSizesBothWays) {
  std::mt19937 rng(41);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (int i = 0; i < 500; ++i) {
      expect_like_reference(rng, testing::random_extent(rng, 90), testing::random_extent(rng, 30),
                            testing::random_extent(rng, 90), testing::random_extent(rng, 30), level);
    }
    for (int i = 0; i < 200; ++i) {  // the vectorised 2:1
      const std::uint32_t tw = testing::random_extent(rng, 100), th = testing::random_extent(rng, 5);
      expect_like_reference(rng, 2 * tw, 2 * th, tw, th, level);
    }
    for (std::uint32_t k = 1; k <= 17; ++k) {  // whole blocks, and past their 16-bit limit
      const std::uint32_t tw = testing::random_extent(rng, 40), th = testing::random_extent(rng, 3);
      expect_like_reference(rng, k * tw, k * th, tw, th, level);
    }
    expect_like_reference(rng, 3840, 3, 160, 1, level);
    expect_like_reference(rng, 1, 1, 50, 3, level);
    expect_like_reference(rng, 1920, 6, 640, 2, level);
  }
}

TEST(PixelsBoxDownscale, AveragesBlocksAndTruncates) {
  // 1280 x 720 -> 640 x 360 averages 2 x 2 blocks, 1920 x 1080 -> 640 x 360
  // 3 x 3 blocks; both truncate.
  for (auto [sw, sh, k] : {std::tuple{1280u, 720u, 2u}, {1920u, 1080u, 3u}}) {
    Bytes src(std::size_t{sw} * sh * 4, 0);
    for (std::uint32_t i = 0; i < k * k - 1; ++i) src[((i / k) * sw + i % k) * 4] = 1;  // block (0, 0)
    for (std::uint32_t dy = 0; dy < k; ++dy) {
      for (std::uint32_t dx = 0; dx < k; ++dx) src[(dy * sw + k + dx) * 4 + 2] = 200;  // block (1, 0)
    }
    const Bytes out = boxed(src, sw, sh, 640, 360);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), (Bytes{0, 0, 0, 255, 0, 0, 200, 255})) << sw;
  }
}

TEST(PixelsBoxDownscale, LargestWholeBlockOfWhite) {
  EXPECT_EQ(boxed(Bytes(30 * 15 * 4, 255), 30, 15, 2, 1), Bytes(2 * 4, 255));
}

TEST(PixelsBoxDownscale, UnusableInputLeavesTargetAlone) {
  const Bytes src(8 * 8 * 4, 9);
  struct Case {
    std::uint32_t sw, sh, tw, th;
    std::size_t src_bytes;
  };
  for (const Case& c : {Case{0, 8, 4, 4, 256}, Case{8, 0, 4, 4, 256}, Case{8, 8, 4, 4, 255}}) {
    Bytes dst(4 * 4 * 4, 0x42);
    box_downscale(ByteView(src).first(c.src_bytes), c.sw, c.sh, dst, c.tw, c.th);
    EXPECT_EQ(dst, Bytes(4 * 4 * 4, 0x42));
  }
  Bytes short_dst(4 * 4 * 4 - 1, 0x42);
  box_downscale(src, 8, 8, short_dst, 4, 4);
  EXPECT_EQ(short_dst, Bytes(4 * 4 * 4 - 1, 0x42));
}

}  // namespace
}  // namespace nimbra
