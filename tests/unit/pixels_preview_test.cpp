#include <gtest/gtest.h>

#include "pixels/preview.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

TEST(PixelsPreview, MatchesReferenceOnRandomSizes) {
  std::mt19937 rng(51);
  Bytes fast(kPreviewBytes), slow(kPreviewBytes);
  for (int i = 0; i < 25; ++i) {
    const std::uint32_t w = testing::random_extent(rng, 1500), h = testing::random_extent(rng, 900);
    const Bytes nv12 = testing::random_bytes(rng, std::size_t{w} * h * 3 / 2 + 2);
    preview_from_nv12(nv12, w, h, fast);
    preview_from_nv12_reference(nv12, w, h, slow);
    ASSERT_EQ(fast, slow) << w << "x" << h;
    const Bytes bgra = testing::random_bytes(rng, std::size_t{w} * h * 4);
    preview_from_bgra(bgra, w, h, fast);
    preview_from_bgra_reference(bgra, w, h, slow);
    ASSERT_EQ(fast, slow) << w << "x" << h;
  }
}

// With both samplers held to their references above, the next two pin the references themselves.
TEST(PixelsPreview, GreyNv12GivesGrey130) {
  Bytes out(kPreviewBytes);
  preview_from_nv12(Bytes(1280 * 720 * 3 / 2, 128), 1280, 720, out);
  EXPECT_EQ(out, testing::repeated({130, 130, 130, 255}, kPreviewWidth * kPreviewHeight));
}

TEST(PixelsPreview, BgraAt720pTakesEverySecondPixelOfEverySecondRow) {
  std::mt19937 rng(52);
  const Bytes bgra = testing::random_bytes(rng, 1280 * 720 * 4);
  Bytes out(kPreviewBytes);
  preview_from_bgra(bgra, 1280, 720, out);
  for (std::size_t y = 0; y < kPreviewHeight; ++y) {
    for (std::size_t x = 0; x < kPreviewWidth; ++x) {
      const std::uint8_t* from = &bgra[(2 * y * 1280 + 2 * x) * 4];
      const std::uint8_t* to = &out[(y * kPreviewWidth + x) * 4];
      ASSERT_EQ(Bytes(to, to + 4), (Bytes{from[0], from[1], from[2], 255})) << x << "," << y;
    }
  }
}

TEST(PixelsPreview, PicturesTooShortForTheirSamplesGiveZeros) {
  struct Case {
    std::uint32_t w, h;
    std::size_t nv12_bytes;
    bool zeros;
  };
  // Even sizes need w * h * 3 / 2; a 1 x 1 picture needs its luma byte and a
  // U, V pair (3 bytes), not the 1 byte that w * h * 3 / 2 says.
  const Case cases[] = {{64, 36, 64 * 36 * 3 / 2 - 1, true}, {1, 1, 1, true}, {1, 1, 2, true}, {1, 1, 3, false},
                        {3, 3, 14, true}, {0, 10, 100, true}, {10, 0, 100, true}};
  for (const Case& c : cases) {
    Bytes out(kPreviewBytes, 0x77);
    preview_from_nv12(Bytes(c.nv12_bytes, 200), c.w, c.h, out);
    EXPECT_EQ(out == Bytes(kPreviewBytes, 0), c.zeros) << c.w << "x" << c.h << " " << c.nv12_bytes;
  }
  Bytes out(kPreviewBytes, 0x77);
  preview_from_bgra(Bytes(10 * 10 * 4 - 1, 200), 10, 10, out);
  EXPECT_EQ(out, Bytes(kPreviewBytes, 0));
}

}  // namespace
}  // namespace nimbra
