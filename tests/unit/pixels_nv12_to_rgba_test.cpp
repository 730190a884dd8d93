#include <gtest/gtest.h>

#include "pixels/nv12_to_rgba.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

TEST(PixelsNv12ToRgba, MatchesReferenceOnRandomLayoutsOnEveryInstructionSet) {
  // Decoder-style buffers: `rows` luma rows of `stride` bytes and half as many chroma bytes; the last layout is
  // 1920x1080 decoded into 1088 coded rows. The vector rows' 16-bit range arguments are linear in Y, U and V, so their
  // limits lie at bytes of 0 and 255 (every tenth buffer); a rounding step off by one leaves the formula in tens of
  // thousands of (Y, U, V), which the random bytes meet.
  std::mt19937 rng(21);
  for (SimdLevel level : testing::available_levels()) {
    testing::ForcedSimdLevel forced(level);
    for (int i = 0; i <= 600; ++i) {
      std::uint32_t w = testing::random_extent(rng, 300), h = testing::random_extent(rng, 9);
      std::uint32_t stride = (w + 1) / 2 * 2 + 2 * (rng() % 20), rows = (h + 1) / 2 * 2 + 2 * (rng() % 10);
      if (i == 600) w = 1920, h = 1080, stride = 2048, rows = 1088;
      const std::size_t n = std::size_t{stride} * rows * 3 / 2;
      const Bytes nv12 = i % 10 == 0 ? testing::extreme_bytes(rng, n) : testing::random_bytes(rng, n);
      Bytes rgba, expected(std::size_t{w} * h * 4);
      ASSERT_TRUE(nv12_to_rgba(nv12, w, h, stride, rgba)) << testing::where(level, w, h);
      nv12_to_rgba_reference(nv12.data(), nv12.data() + std::size_t{stride} * rows, w, h, stride, expected.data());
      ASSERT_EQ(rgba, expected) << testing::where(level, w, h) << " stride " << stride;
    }
  }
}

TEST(PixelsNv12ToRgba, BlackWhiteAndLumaBelowSixteen) {
  // With every instruction set held to the reference above, these worked values pin the reference itself. Luma under
  // 16 is read as 16, so 0 and 16 are both black.
  for (auto [y, grey] : {std::pair<std::uint8_t, std::uint8_t>{16, 0}, {0, 0}, {235, 255}, {255, 255}, {126, 128}}) {
    Bytes nv12(4 * 2, y), rgba;
    nv12.resize(4 * 3, 128);
    ASSERT_TRUE(nv12_to_rgba(nv12, 4, 2, 4, rgba));
    EXPECT_EQ(rgba, testing::repeated({grey, grey, grey, 255}, 4 * 2)) << int{y};
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
