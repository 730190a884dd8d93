#include <gtest/gtest.h>

#include <array>

#include "pixels/bgra_to_nv12.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

Bytes convert(const Bytes& bgra, std::size_t w, std::size_t h) {
  Bytes out(nv12_size(w, h), 0xEE);
  bgra_to_nv12(bgra, w, h, out);
  return out;
}

TEST(PixelsBgraToNv12, MatchesReferenceOnRandomSizesOnEveryInstructionSet) {
  std::mt19937 rng(11);
  for (SimdLevel level : testing::available_levels()) {
    testing::ForcedSimdLevel forced(level);
    for (int i = 0; i <= 600; ++i) {
      const std::uint32_t w = testing::random_extent(rng, 300), h = testing::random_extent(rng, 9);
      // Every intermediate is linear in the channels, so its extremes, where a
      // 16-bit product or sum would saturate, come from pixels of 0 and 255.
      const std::size_t n = std::size_t{w} * h * 4;
      const Bytes bgra = i % 10 == 0 ? testing::extreme_bytes(rng, n) : testing::random_bytes(rng, n);
      Bytes expected(nv12_size(w, h), 0xEE);
      bgra_to_nv12_reference(bgra, w, h, expected);
      ASSERT_EQ(convert(bgra, w, h), expected) << testing::where(level, w, h);
    }
  }
}

TEST(PixelsBgraToNv12, KnownColours) {
  // With every instruction set held to the reference above, these worked values pin the reference itself.
  for (auto [b, g, r, y, u, v] : {std::array<std::uint8_t, 6>{0, 0, 0, 16, 128, 128}, {255, 255, 255, 235, 128, 128},
                                  {0, 0, 255, 82, 90, 240}}) {
    Bytes want(4 * 2, y);
    want.insert(want.end(), {u, v, u, v});
    EXPECT_EQ(convert(testing::repeated({b, g, r, 7}, 4 * 2), 4, 2), want) << int{r};
  }
}

TEST(PixelsBgraToNv12, OddSizesPairEdgePixelsWithThemselves) {
  // Only the bottom-right pixel is red: the last chroma sample averages it
  // with itself four times, so it is pure red's U and V.
  Bytes bgra(3 * 3 * 4, 0);
  bgra[(2 * 3 + 2) * 4 + 2] = 255;
  Bytes want(8, 16);
  want.insert(want.end(), {82, 128, 128, 128, 128, 128, 128, 90, 240});
  EXPECT_EQ(convert(bgra, 3, 3), want);
}

TEST(PixelsBgraToNv12, RefusedInputsLeaveTheDestinationUntouched) {
  const Bytes bgra(4 * 4 * 4, 200);
  struct Case {
    std::size_t w, h, src_bytes, dst_bytes;
  };
  const Case cases[] = {
      {4, 4, 64, 23},         // destination one byte short
      {0, 4, 64, 24},         // zero width
      {4, 0, 64, 24},         // zero height
      {4, 4, 63, 24},         // short source
      {std::size_t{1} << 62, 4, 64, 24},  // byte count would wrap
  };
  for (const Case& c : cases) {
    Bytes dst(c.dst_bytes, 0x5A);
    bgra_to_nv12(ByteView(bgra).first(c.src_bytes), c.w, c.h, dst);
    EXPECT_EQ(dst, Bytes(c.dst_bytes, 0x5A)) << c.w << "x" << c.h;
  }
}

}  // namespace
}  // namespace nimbra
