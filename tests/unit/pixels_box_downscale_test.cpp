#include <gtest/gtest.h>

#include "pixels/box_downscale.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::Sizes;

Bytes boxed(const Bytes& src, const Sizes& s) {
  Bytes dst(std::size_t{s.dst_width} * s.dst_height * 4, 0xEE);
  box_downscale(src, s.src_width, s.src_height, dst, s.dst_width, s.dst_height);
  return dst;
}

TEST(PixelsBoxDownscale, MatchesReferenceInEveryShapeOnEveryInstructionSet) {
  testing::expect_scaler_matches_reference<BoxScaler>(41, box_downscale_reference);
}

TEST(PixelsBoxDownscale, AveragesSpansAndTruncates) {
  // With every instruction set held to the reference above, these worked values pin the reference itself. 2 x 2 to 1:
  // blue averages 0.75 and truncates to 0, red 1.5 to 1; 3 to 2: spans [0] and [1, 2], means of 10.5, 20 and 30.5
  // truncated; 1 to 3 repeats the pixel.
  struct Case {
    Bytes src;
    Sizes sizes;
    Bytes expected;
  };
  const Case cases[] = {
      {{0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 2, 0, 1, 0, 2, 0}, {2, 2, 1, 1}, {0, 0, 1, 255}},
      {{9, 9, 9, 0, 10, 20, 30, 0, 11, 20, 31, 0}, {3, 1, 2, 1}, {9, 9, 9, 255, 10, 20, 30, 255}},
      {{7, 8, 9, 0}, {1, 1, 3, 1}, testing::repeated({7, 8, 9, 255}, 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(boxed(c.src, c.sizes), c.expected) << c.sizes.src_width;
}

TEST(PixelsBoxDownscale, ScalerKnowsItsSizesAndLeavesShortOrEmptyBuffersAlone) {
  testing::expect_scaler_keeps_to_its_sizes<BoxScaler>();
}

}  // namespace
}  // namespace nimbra
