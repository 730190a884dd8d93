#include <gtest/gtest.h>

#include "pixels/area_scale.h"
#include "pixels/area_scaler.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::available_levels;
using testing::ForcedSimdLevel;
using testing::Sizes;

TEST(PixelsAreaScaler, MatchesReferenceInEveryShapeOnEveryInstructionSet) {
  testing::expect_scaler_matches_reference<AreaScaler>(31, area_scale_reference);
}

TEST(PixelsAreaScaler, WideWeightsAndSumsBeyond32Bits) {
  // Column weights of 2^15 and more (no 16-bit multiply-adds) on every
  // instruction set, and a weight total of 4,111^2 whose sums need 64 bits
  // (plain C whatever the instruction set).
  std::mt19937 rng(37);
  for (const Sizes& s : {Sizes{32771, 2, 32770, 1}, Sizes{4111, 4111, 4110, 1}}) {
    const Bytes src = testing::random_bytes(rng, std::size_t{s.src_width} * s.src_height * 4);
    Bytes expected(std::size_t{s.dst_width} * s.dst_height * 4), got(expected.size());
    area_scale_reference(src, s.src_width, s.src_height, expected, s.dst_width, s.dst_height);
    for (SimdLevel level : available_levels()) {
      if (s.src_height > 2 && level != SimdLevel::scalar) continue;
      ForcedSimdLevel forced(level);
      AreaScaler(s.src_width, s.src_height, s.dst_width, s.dst_height).scale(src, got);
      ASSERT_TRUE(got == expected) << testing::where(level, s);
    }
  }
}

TEST(PixelsAreaScaler, KnowsItsSizesAndLeavesShortOrEmptyBuffersAlone) {
  const AreaScaler scaler(10, 6, 4, 3);
  EXPECT_TRUE(scaler.has_sizes(10, 6, 4, 3));
  for (const Sizes& s : {Sizes{11, 6, 4, 3}, Sizes{10, 7, 4, 3}, Sizes{10, 6, 5, 3}, Sizes{10, 6, 4, 2}}) {
    EXPECT_FALSE(scaler.has_sizes(s.src_width, s.src_height, s.dst_width, s.dst_height));
  }
  struct Case {
    Sizes sizes;
    std::size_t src_bytes, dst_bytes;
  };
  const Case cases[] = {{{10, 6, 4, 3}, 10 * 6 * 4 - 1, 4 * 3 * 4},
                        {{10, 6, 4, 3}, 10 * 6 * 4, 4 * 3 * 4 - 1},
                        {{0, 6, 4, 3}, 10 * 6 * 4, 4 * 3 * 4},
                        {{10, 6, 4, 0}, 10 * 6 * 4, 4 * 3 * 4}};
  for (const Case& c : cases) {
    AreaScaler sized(c.sizes.src_width, c.sizes.src_height, c.sizes.dst_width, c.sizes.dst_height);
    Bytes dst(c.dst_bytes, 0x33);
    sized.scale(Bytes(c.src_bytes, 9), dst);
    EXPECT_EQ(dst, Bytes(c.dst_bytes, 0x33)) << testing::where(SimdLevel::scalar, c.sizes);
  }
}

}  // namespace
}  // namespace nimbra
