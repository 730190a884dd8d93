#include "capture/encoder_keeper.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_encoder.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

struct Keeper {
  testing::FakeClock clock;
  testing::EncoderLog log;
  std::vector<std::string> lines;
  EncoderKeeper keeper{testing::fake_encoder_factory(log), {16, 8, 30, 100'000}, clock,
                       [this](std::string_view line) { lines.emplace_back(line); }};
  Bytes picture = Bytes(16 * 8 * 3 / 2);
  std::expected<Chunks, EncoderKeeper::Failure> encode() { return keeper.encode(picture, true, false); }
};

TEST(EncoderKeeper, KeyFramesComeFromANewEncoderAtMostEveryTwoSecondsWhenTheyCannotBeForced) {
  Keeper k;
  k.log.force_key_supported = false;
  ASSERT_TRUE(k.keeper.start());
  EXPECT_EQ(k.keeper.prepare_key_frame(), true);
  k.clock.advance(1999ms);
  EXPECT_EQ(k.keeper.prepare_key_frame(), false);
  k.clock.advance(1ms);
  EXPECT_EQ(k.keeper.prepare_key_frame(), true);
  EXPECT_EQ(k.log.created, 3);
}

TEST(EncoderKeeper, ConvertsWholePicturesFirstAndAfterNv12ThenJustTheRowPairsThatChanged) {
  Keeper k;
  ASSERT_TRUE(k.keeper.start());
  std::mt19937 rng(3);
  Bytes image(16 * 8 * 4), nv12(nv12_size(16, 8));
  // New pixels in `rows`, encoded as `said`; row 3 shares its chroma with row 2.
  for (const auto& [rows, said] : {std::pair{RowSpan{0, 8}, RowSpan{2, 3}}, {{3, 4}, {3, 4}}, {{0, 8}, {}}}) {
    if (said.empty()) k.encode();
    const Bytes pixels = testing::random_bytes(rng, 16 * 4 * (rows.end - rows.first));
    std::ranges::copy(pixels, image.begin() + 16 * 4 * rows.first);
    ASSERT_TRUE(k.keeper.encode(image, false, false, said));
    bgra_to_nv12(image, 16, 8, nv12);
    EXPECT_EQ(k.log.encodes.back().digest, frame_digest(nv12)) << rows.first;
  }
}

TEST(EncoderKeeper, AFailedEncodeReplacesTheEncoderFiveTimesInSixtySeconds) {
  Keeper k;
  k.log.encode_error = [](std::size_t) { return std::string("ProcessInput: сбой (0x80004005)"); };
  ASSERT_TRUE(k.keeper.start());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(k.encode().error(), EncoderKeeper::Failure::replaced) << i;
    k.clock.advance(1s);
  }
  k.clock.advance(55s);  // the first failure is now 60 s old and no longer counts
  EXPECT_EQ(k.encode().error(), EncoderKeeper::Failure::replaced);
  k.clock.advance(500ms);
  EXPECT_EQ(k.encode().error(), EncoderKeeper::Failure::gave_up);
  EXPECT_EQ(k.log.created, 7);
  EXPECT_EQ(k.lines, std::vector<std::string>(7, "[capture] encode: ProcessInput: сбой (0x80004005)"));

  Keeper unmade;  // the replacement cannot be made
  unmade.log.encode_error = [](std::size_t) { return std::string("e"); };
  unmade.log.create_error = [](int attempt) { return std::string(attempt == 2 ? "MFStartup: нет" : ""); };
  ASSERT_TRUE(unmade.keeper.start());
  EXPECT_EQ(unmade.encode().error(), EncoderKeeper::Failure::gave_up);
  EXPECT_EQ(unmade.lines,
            (std::vector<std::string>{"[capture] encode: e", "[capture] энкодер не пересоздан: MFStartup: нет"}));
}

}  // namespace
}  // namespace nimbra
