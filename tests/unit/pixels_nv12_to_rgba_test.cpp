#include <gtest/gtest.h>

#include "pixels/nv12_to_rgba.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::available_levels;
using testing::ForcedSimdLevel;

TEST(PixelsNv12ToRgba, MatchesReferenceOnRandomLayoutsOnEveryInstructionSet) {
  // Decoder-style buffers: `rows` luma rows of `stride` bytes and half as many
  // chroma bytes; the last layout is 1920 x 1080 decoded into 1088 coded rows.
  std::mt19937 rng(21);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (int i = 0; i <= 600; ++i) {
      std::uint32_t w = testing::random_extent(rng, 300), h = testing::random_extent(rng, 9);
      std::uint32_t stride = (w + 1) / 2 * 2 + 2 * (rng() % 20), rows = (h + 1) / 2 * 2 + 2 * (rng() % 10);
      if (i == 600) w = 1920, h = 1080, stride = 2048, rows = 1088;
      const Bytes nv12 = testing::random_bytes(rng, std::size_t{stride} * rows * 3 / 2);
      Bytes rgba, expected(std::size_t{w} * h * 4);
      ASSERT_TRUE(nv12_to_rgba(nv12, w, h, stride, rgba)) << testing::where(level, w, h);
      nv12_to_rgba_reference(nv12.data(), nv12.data() + std::size_t{stride} * rows, w, h, stride, expected.data());
      ASSERT_EQ(rgba, expected) << testing::where(level, w, h) << " stride " << stride;
    }
  }
}

TEST(PixelsNv12ToRgba, EveryLumaAndChromaCombinationMatchesReference) {
  // The vector rows rely on range arguments, so every (Y, U, V) is tried:
  // 256 chroma samples per row pair (U = sample), V = row pair / 64, and the
  // four pixels of each sample step through the luma values.
  const std::uint32_t w = 512, pairs_per_v = 64, v_per_chunk = 32, h = 2 * pairs_per_v * v_per_chunk;
  Bytes nv12(std::size_t{w} * h * 3 / 2), rgba, expected(std::size_t{w} * h * 4);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (std::uint32_t v0 = 0; v0 < 256; v0 += v_per_chunk) {
      for (std::uint32_t row = 0; row < h; ++row) {
        for (std::uint32_t x = 0; x < w; ++x) {
          nv12[std::size_t{row} * w + x] =
              static_cast<std::uint8_t>((row / 2 % pairs_per_v) * 4 + (x & 1) + 2 * (row & 1));
        }
      }
      for (std::uint32_t crow = 0; crow < h / 2; ++crow) {
        for (std::uint32_t c = 0; c < w / 2; ++c) {
          nv12[std::size_t{w} * h + std::size_t{crow} * w + 2 * c] = static_cast<std::uint8_t>(c);
          nv12[std::size_t{w} * h + std::size_t{crow} * w + 2 * c + 1] =
              static_cast<std::uint8_t>(v0 + crow / pairs_per_v);
        }
      }
      ASSERT_TRUE(nv12_to_rgba(nv12, w, h, w, rgba));
      nv12_to_rgba_reference(nv12.data(), nv12.data() + std::size_t{w} * h, w, h, w, expected.data());
      ASSERT_TRUE(rgba == expected) << simd_level_name(level) << " V from " << v0;
    }
  }
}

TEST(PixelsNv12ToRgba, BlackWhiteAndLumaBelowSixteen) {
  // Luma under 16 is read as 16, so 0 and 16 are both black; 40 x 4 takes a vector step and a tail.
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (auto [y, grey] : {std::pair<std::uint8_t, std::uint8_t>{16, 0}, {0, 0}, {235, 255}, {255, 255}, {126, 128}}) {
      Bytes nv12(40 * 4, y), rgba, want;
      nv12.resize(40 * 6, 128);
      for (int i = 0; i < 40 * 4; ++i) want.insert(want.end(), {grey, grey, grey, 255});
      ASSERT_TRUE(nv12_to_rgba(nv12, 40, 4, 40, rgba));
      EXPECT_EQ(rgba, want) << int{y} << " " << simd_level_name(level);
    }
  }
}

TEST(PixelsNv12ToRgba, RefusesBadLayouts) {
  struct Case {
    std::size_t n;
    std::uint32_t w, h, stride;
    std::string error;
  };
  const Case cases[] = {
      {3 * 1088 * 2048 / 2 + 1, 1920, 1080, 2048, "invalid stride or size"},
      {3 * 1088 * 2048 / 2, 1920, 1080, 0, "invalid stride or size"},
      {3 * 1088 * 2048 / 2, 1920, 1080, 1900, "invalid stride or size"},
      {3 * 1088 * 2000 / 2, 1920, 1080, 2048, "invalid NV12 layout 3264000 stride 2048"},
      {3 * 1078 * 2048 / 2, 1920, 1080, 2048, "invalid NV12 layout 3311616 stride 2048"},
      {3 * 1209 * 2048 / 2, 1920, 1080, 2048, "invalid NV12 layout 3714048 stride 2048"},
      {3 * 1208 * 2048 / 2, 1920, 1080, 2048, ""},
      // 3 x 2 with no padding: the last V byte would lie past the buffer.
      {9, 3, 2, 3, "short NV12 plane"},
      {12, 3, 2, 4, ""},
      {6, 2, 0, 2, "short NV12 plane"},
  };
  for (const Case& c : cases) {
    Bytes rgba;
    const Status status = nv12_to_rgba(Bytes(c.n, 128), c.w, c.h, c.stride, rgba);
    EXPECT_EQ(status ? "" : status.error(), c.error) << c.n;
  }
}

}  // namespace
}  // namespace nimbra
