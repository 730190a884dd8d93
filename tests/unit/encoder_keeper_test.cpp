#include "capture/encoder_keeper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_encoder.h"

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
