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

TEST(PixelsAreaScaler, RescalesTheRowsAChangeReachesAndSaysWhichTheyAre) {
  std::mt19937 rng(41);
  for (const Sizes& s : testing::scaling_sizes(rng)) {
    AreaScaler scaler(s.src_width, s.src_height, s.dst_width, s.dst_height);
    const std::size_t src_row = std::size_t{s.src_width} * 4, dst_row = std::size_t{s.dst_width} * 4;
    Bytes src = testing::random_bytes(rng, src_row * s.src_height), before(dst_row * s.dst_height);
    scaler.scale(src, before);
    const std::uint32_t first = rng() % s.src_height, end = first + 1 + rng() % (s.src_height - first);
    const Bytes rows = testing::random_bytes(rng, (end - first) * src_row);
    std::ranges::copy(rows, src.begin() + static_cast<std::ptrdiff_t>(first * src_row));
    Bytes expected(before.size()), got = before;
    area_scale_reference(src, s.src_width, s.src_height, expected, s.dst_width, s.dst_height);
    const RowSpan written = scaler.scale(src, got, {first, end});
    ASSERT_TRUE(got == expected) << testing::where(SimdLevel::avx2, s) << " rows " << first << ".." << end;
    // Every target row that changed is in the span it returns.
    for (std::size_t y = 0; y < s.dst_height; ++y) {
      const bool same = std::equal(&got[y * dst_row], &got[y * dst_row] + dst_row, &before[y * dst_row]);
      ASSERT_TRUE(same || (y >= written.first && y < written.end)) << testing::where(SimdLevel::avx2, s) << " row " << y;
    }
  }
}

TEST(PixelsAreaScaler, KnowsItsSizesAndLeavesShortOrEmptyBuffersAlone) {
  testing::expect_scaler_keeps_to_its_sizes<AreaScaler>();
}

}  // namespace
}  // namespace nimbra
