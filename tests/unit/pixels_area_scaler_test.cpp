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

TEST(PixelsAreaScaler, RescalesJustTheRowsAChangeReaches) {
  // Rows [5, 6) of a 12-row source, in each shape: the target rows written.
  struct Case {
    Sizes sizes;
    RowSpan written;
  };
  for (const Case& c : {Case{{12, 12, 12, 12}, {5, 6}}, Case{{12, 12, 6, 6}, {2, 3}}, Case{{12, 12, 8, 8}, {2, 4}},
                        Case{{12, 12, 9, 9}, {3, 6}}, Case{{12, 12, 4, 4}, {1, 2}}, Case{{12, 12, 5, 5}, {2, 3}}}) {
    AreaScaler scaler(12, 12, c.sizes.dst_width, c.sizes.dst_height);
    Bytes dst(std::size_t{c.sizes.dst_width} * c.sizes.dst_height * 4);
    EXPECT_EQ(scaler.scale(Bytes(12 * 12 * 4), dst, {5, 6}), c.written) << c.sizes.dst_width;
  }
  // And the picture is whole again, at every size, after a change of random rows.
  std::mt19937 rng(41);
  for (const Sizes& s : testing::scaling_sizes(rng)) {
    AreaScaler scaler(s.src_width, s.src_height, s.dst_width, s.dst_height);
    Bytes src = testing::random_bytes(rng, std::size_t{s.src_width} * s.src_height * 4);
    Bytes expected(std::size_t{s.dst_width} * s.dst_height * 4), got(expected.size());
    scaler.scale(src, got);
    const std::uint32_t first = rng() % s.src_height, end = first + 1 + rng() % (s.src_height - first);
    const std::size_t row = std::size_t{s.src_width} * 4;
    const Bytes rows = testing::random_bytes(rng, (end - first) * row);
    std::ranges::copy(rows, src.begin() + static_cast<std::ptrdiff_t>(first * row));
    area_scale_reference(src, s.src_width, s.src_height, expected, s.dst_width, s.dst_height);
    scaler.scale(src, got, {first, end});
    ASSERT_TRUE(got == expected) << testing::where(SimdLevel::avx2, s) << " rows " << first << ".." << end;
  }
}

TEST(PixelsAreaScaler, KnowsItsSizesAndLeavesShortOrEmptyBuffersAlone) {
  testing::expect_scaler_keeps_to_its_sizes<AreaScaler>();
}

}  // namespace
}  // namespace nimbra
