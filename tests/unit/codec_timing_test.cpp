#include <gtest/gtest.h>

#include "codec/encoder_timing.h"
#include "watch/output_stride.h"

namespace nimbra {
namespace {

TEST(EncoderTiming, DurationAndKeyIntervalFollowTheRate) {
  struct Case {
    std::uint32_t fps;
    std::int64_t duration;
    std::uint32_t interval;
  };
  for (const Case& c : {Case{0, 10'000'000, 30}, Case{1, 10'000'000, 30}, Case{10, 1'000'000, 30},
                        Case{15, 666'666, 30}, Case{30, 333'333, 60}, Case{60, 166'666, 120}}) {
    EXPECT_EQ(sample_duration_100ns(c.fps), c.duration) << c.fps;
    EXPECT_EQ(key_frame_interval(c.fps), c.interval) << c.fps;
  }
}

TEST(OutputStride, UsesOnlyPlausibleReportedStrides) {
  EXPECT_EQ(output_stride(2048, 1920), 2048u);
  EXPECT_EQ(output_stride(1920, 1920), 1920u);
  EXPECT_EQ(output_stride(8192, 1920), 8192u);
  EXPECT_EQ(output_stride(9000, 1920), 1920u);
  EXPECT_EQ(output_stride(static_cast<std::uint32_t>(-1920), 1920), 1920u);  // bottom-up
  EXPECT_EQ(output_stride(1280, 1920), 1920u);
  EXPECT_EQ(output_stride(std::nullopt, 640), 640u);
}

}  // namespace
}  // namespace nimbra
