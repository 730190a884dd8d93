#include "codec/h264_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fakes/fake_encoder.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

TEST(H264Encoder, ConvertsAWholeFirstPictureThenOnlyTheRowPairsThatChanged) {
  testing::EncoderLog log;
  std::unique_ptr<H264Encoder> encoder = *testing::fake_encoder_factory(log)({8, 6, 30, 1});
  std::mt19937 rng(3);
  Bytes image(8 * 6 * 4);
  // New pixels in the rows `changed`, encoded with the rows `said`.
  auto encode = [&](RowSpan changed, RowSpan said) {
    const Bytes rows = testing::random_bytes(rng, 8 * 4 * (changed.end - changed.first));
    std::ranges::copy(rows, image.begin() + 8 * 4 * changed.first);
    ASSERT_TRUE(encoder->encode_bgra(image, 8, 6, false, said));
    Bytes expected(nv12_size(8, 6));
    bgra_to_nv12(image, 8, 6, expected);
    EXPECT_TRUE(std::ranges::equal(encoder->staging(), expected)) << changed.first;
  };
  encode({0, 6}, {2, 3});  // the first picture is converted whole, whatever is said
  encode({3, 4}, {3, 4});  // row 3 shares its chroma with row 2
  ASSERT_TRUE(encoder->encode_nv12(Bytes(nv12_size(8, 6), 9), false));
  encode({0, 6}, {});  // after an NV12 picture, whole again
}

}  // namespace
}  // namespace nimbra
