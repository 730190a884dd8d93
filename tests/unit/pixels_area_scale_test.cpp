#include <gtest/gtest.h>

#include <array>

#include "pixels/area_scale.h"
#include "pixels/area_scale_rows.h"
#include "pixels/area_scaler.h"
#include "pixels/exact_divider.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::available_levels;
using testing::ForcedSimdLevel;

Bytes scaled(const Bytes& src, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) {
  Bytes dst(std::size_t{tw} * th * 4, 0xEE);
  area_scale(src, sw, sh, dst, tw, th);
  return dst;
}

void expect_like_reference(std::mt19937& rng, std::uint32_t sw, std::uint32_t sh, std::uint32_t tw,
                           std::uint32_t th, SimdLevel level) {
  const Bytes src = testing::random_bytes(rng, std::size_t{sw} * sh * 4);
  Bytes expected(std::size_t{tw} * th * 4, 0xEE);
  area_scale_reference(src, sw, sh, expected, tw, th);
  ASSERT_EQ(scaled(src, sw, sh, tw, th), expected)
      << testing::where(level, sw, sh) << " -> " << tw << "x" << th;
}

TEST(PixelsAreaScale, MatchesReferenceOnEveryInstructionSet) {
  // Random sizes both ways, the vectorised ratios (2:1, 3:2 and whole blocks
  // past their 16-bit limit), extreme ratios and product sizes.
  std::mt19937 rng(31);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (int i = 0; i < 700; ++i) {
      const std::uint32_t sw = testing::random_extent(rng, 90), sh = testing::random_extent(rng, 30);
      expect_like_reference(rng, sw, sh, testing::random_extent(rng, 90), testing::random_extent(rng, 30), level);
    }
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t tw = testing::random_extent(rng, 100), th = testing::random_extent(rng, 6);
      expect_like_reference(rng, 2 * tw, 2 * th, tw, th, level);
      expect_like_reference(rng, 3 * tw, 3 * th, 2 * tw, 2 * th, level);
    }
    for (std::uint32_t k = 3; k <= 17; ++k) {
      const std::uint32_t tw = testing::random_extent(rng, 40), th = testing::random_extent(rng, 3);
      expect_like_reference(rng, k * tw, k * th, tw, th, level);
    }
    for (auto [sw, sh, tw, th] : {std::array<std::uint32_t, 4>{3840, 2, 160, 1}, {1, 1, 300, 7}, {1, 40, 1, 1},
                                  {2, 3, 97, 61}, {1920, 8, 1366, 5}, {7, 1, 1920, 1}, {1920, 1080, 1280, 720}}) {
      expect_like_reference(rng, sw, sh, tw, th, level);
    }
  }
}

TEST(PixelsAreaScale, WideWeightsAndSumsBeyond32Bits) {
  // Column weights of 2^15 and more (no 16-bit multiply-adds), and a weight
  // total of 4,111^2 whose sums need 64 bits.
  std::mt19937 rng(37);
  for (auto [sw, sh, tw, th] : {std::array<std::uint32_t, 4>{32771, 2, 32770, 1}, {4111, 4111, 4110, 1}}) {
    const Bytes src = testing::random_bytes(rng, std::size_t{sw} * sh * 4);
    Bytes expected(std::size_t{tw} * th * 4);
    area_scale_reference(src, sw, sh, expected, tw, th);
    for (SimdLevel level : available_levels()) {
      ForcedSimdLevel forced(level);
      ASSERT_TRUE(scaled(src, sw, sh, tw, th) == expected) << testing::where(level, sw, sh);
    }
  }
}

TEST(PixelsAreaScale, RoundsHalfUpAndWeighsThreeToTwo) {
  for (auto [b0, mean] : {std::pair{Bytes{0, 1, 2, 3}, 2}, {Bytes{0, 0, 0, 1}, 0}, {Bytes{1, 1, 1, 2}, 1}}) {
    Bytes src(16, 0);
    for (int i = 0; i < 4; ++i) src[i * 4] = b0[i];
    EXPECT_EQ(scaled(src, 2, 2, 1, 1), (Bytes{std::uint8_t(mean), 0, 0, 255}));
  }
  // Target 0 weighs source 0 twice and source 1 once; target 1 the reverse.
  const Bytes src = {90, 0, 0, 0, 0, 90, 0, 0, 0, 0, 90, 0};
  EXPECT_EQ(scaled(src, 3, 1, 2, 1), (Bytes{60, 30, 0, 255, 0, 30, 60, 255}));
}

TEST(PixelsAreaScale, FullHdTo720pWeighsFourTwoTwoOne) {
  // A single bright source pixel shows its weight in each target it touches:
  // 4/9, 2/9 and 1/9 of 225.
  Bytes src(std::size_t{1920} * 1080 * 4, 0);
  src[(1 * 1920 + 1) * 4] = 225;  // shared by targets (0..1, 0..1)
  src[(0 * 1920 + 2) * 4 + 1] = 225;
  const Bytes out = scaled(src, 1920, 1080, 1280, 720);
  auto at = [&](std::size_t x, std::size_t y, int k) { return out[(y * 1280 + x) * 4 + k]; };
  EXPECT_EQ(at(0, 0, 0), 25);
  EXPECT_EQ(at(1, 0, 0), 25);
  EXPECT_EQ(at(1, 1, 0), 25);
  EXPECT_EQ(at(1, 0, 1), 100);  // source (2, 0) is target (1, 0)'s heaviest
  EXPECT_EQ(at(0, 0, 1), 0);
}

TEST(PixelsAreaScale, CopiesEqualSizesAndKeepsConstantImages) {
  std::mt19937 rng(34);
  const Bytes src = testing::random_bytes(rng, 5 * 3 * 4);
  EXPECT_EQ(scaled(src, 5, 3, 5, 3), src);  // byte 3 kept as it was
  Bytes flat;
  for (int i = 0; i < 7 * 5; ++i) flat.insert(flat.end(), {17, 200, 3, 9});
  for (auto [tw, th] : {std::pair{3u, 2u}, {1u, 1u}, {13u, 11u}}) {
    const Bytes out = scaled(flat, 7, 5, tw, th);
    for (std::size_t i = 0; i < out.size(); i += 4) ASSERT_EQ(Bytes(out.begin() + i, out.begin() + i + 4),
                                                              (Bytes{17, 200, 3, 255}));
  }
  // The largest whole block at the largest byte value: the 16-bit sums' limit.
  EXPECT_EQ(scaled(Bytes(30 * 15 * 4, 255), 30, 15, 2, 1), Bytes(2 * 4, 255));
  const Bytes one = {1, 2, 3, 4};
  Bytes sixteen;
  for (int i = 0; i < 16; ++i) sixteen.insert(sixteen.end(), {1, 2, 3, 255});
  EXPECT_EQ(scaled(one, 1, 1, 4, 4), sixteen);
}

TEST(PixelsAreaScale, ScalerIsReusableAndRefusesShortBuffers) {
  std::mt19937 rng(35);
  AreaScaler scaler(10, 6, 4, 3);
  for (int i = 0; i < 3; ++i) {
    const Bytes src = testing::random_bytes(rng, 10 * 6 * 4);
    Bytes a(4 * 3 * 4), b(4 * 3 * 4);
    scaler.scale(src, a);
    area_scale_reference(src, 10, 6, b, 4, 3);
    EXPECT_EQ(a, b);
  }
  Bytes dst(4 * 3 * 4, 0x33);
  scaler.scale(Bytes(10 * 6 * 4 - 1), dst);
  EXPECT_EQ(dst, Bytes(4 * 3 * 4, 0x33));
}

TEST(PixelsAreaScale, ExactDividers) {
  for (std::uint32_t n = 0; n < 9 * 255 + 5; ++n) ASSERT_EQ(n * detail::kNinthMagic >> 16, n / 9) << n;
  // Divisors near the product bound of the one-multiply path, and beyond it.
  std::mt19937_64 rng(36);
  for (std::uint64_t d : {std::uint64_t{3}, std::uint64_t{9}, std::uint64_t{1} << 20, (std::uint64_t{1} << 28) - 3,
                          std::uint64_t{4294836225}, std::uint64_t{1} << 40}) {
    const std::uint64_t limit = d * 256;
    const ExactDivider divide(d, limit);
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t n = i < 1000 ? (rng() % 256) * d + d - 1 - (i % 3) : rng() % limit;
      ASSERT_EQ(divide(n), n / d) << n << " / " << d;
    }
  }
}

}  // namespace
}  // namespace nimbra
