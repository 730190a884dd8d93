#include <gtest/gtest.h>

#include "pixels/area_scale.h"
#include "pixels/area_scaler.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

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
    for (SimdLevel level : testing::available_levels()) {
      if (s.src_height > 2 && level != SimdLevel::scalar) continue;
      testing::ForcedSimdLevel forced(level);
      AreaScaler(s.src_width, s.src_height, s.dst_width, s.dst_height).scale(src, got);
      ASSERT_TRUE(got == expected) << testing::where(level, s);
    }
  }
}

TEST(PixelsAreaScaler, KnowsItsSizesAndLeavesShortOrEmptyBuffersAlone) {
  testing::expect_scaler_keeps_to_its_sizes<AreaScaler>();
}

}  // namespace
}  // namespace nimbra
