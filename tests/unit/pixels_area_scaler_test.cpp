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
  // Column weights of 2^15 and more (no 16-bit multiply-adds) on every instruction set, and a weight total of 4,111^2
  // whose sums need 64 bits (plain C whatever the instruction set).
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

Bytes scaled(const Bytes& src, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
             std::uint32_t dst_height) {
  Bytes dst(std::size_t{dst_width} * dst_height * 4, 0xEE);
  area_scale(src, src_width, src_height, dst, dst_width, dst_height);
  return dst;
}

Bytes pixels(std::initializer_list<std::uint32_t> bgra) {
  Bytes b;
  for (std::uint32_t p : bgra) b.insert(b.end(), {std::uint8_t(p), std::uint8_t(p >> 8), std::uint8_t(p >> 16),
                                                  std::uint8_t(p >> 24)});
  return b;
}

TEST(PixelsAreaScale, WeighsByAreaAndRoundsHalfUp) {
  struct Case {
    Bytes src;
    std::uint32_t src_width, src_height, dst_width, dst_height;
    Bytes expected;
  };
  const Case cases[] = {
      // 2 x 2 to 1: (0 + 1 + 2 + 3) / 4 = 1.5 rounds up; 1.25 down.
      {pixels({0, 1, 2, 3}), 2, 2, 1, 1, pixels({0xFF000002})},
      {pixels({0x010101, 0x010101, 0x010101, 0x020202}), 2, 2, 1, 1, pixels({0xFF010101})},
      // 3 to 2: target 0 weighs source 0 twice and source 1 once; target 1 the reverse.
      {pixels({90, 90 << 8, 90 << 16}), 3, 1, 2, 1, pixels({0xFF001E3C, 0xFF3C1E00})},
      // 3 x 3 to 2 x 2: the centre pixel is a quarter of every target (1/9 * 225 = 25 each).
      {pixels({0, 0, 0, 0, 225, 0, 0, 0, 0}), 3, 3, 2, 2, pixels({0xFF000019, 0xFF000019, 0xFF000019, 0xFF000019})},
      // Equal sizes copy with byte 3 opaque; one pixel fills any larger target.
      {pixels({0x04030201, 0x08070605}), 2, 1, 2, 1, pixels({0xFF030201, 0xFF070605})},
      {pixels({0x04030201}), 1, 1, 2, 2, pixels({0xFF030201, 0xFF030201, 0xFF030201, 0xFF030201})},
      // The largest whole block at the largest byte value: the 16-bit sums' limit.
      {Bytes(30 * 15 * 4, 255), 30, 15, 2, 1, Bytes(2 * 4, 255)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scaled(c.src, c.src_width, c.src_height, c.dst_width, c.dst_height), c.expected)
        << c.src_width << "x" << c.src_height << " -> " << c.dst_width << "x" << c.dst_height;
  }
}

}  // namespace
}  // namespace nimbra
