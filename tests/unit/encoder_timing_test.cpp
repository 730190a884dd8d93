#include "codec/encoder_timing.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(EncoderTiming, DurationAndKeyIntervalFollowTheRate) {
  struct Case {
    std::uint32_t fps;
    std::int64_t duration;
    std::uint32_t interval;
  };
  for (const Case& c : {Case{0, 10'000'000, 30}, Case{1, 10'000'000, 30}, Case{15, 666'666, 30}, Case{30, 333'333, 60},
                        Case{60, 166'666, 120}}) {
    EXPECT_EQ(sample_duration_100ns(c.fps), c.duration) << c.fps;
    EXPECT_EQ(key_frame_interval(c.fps), c.interval) << c.fps;
  }
}

}  // namespace
}  // namespace nimbra
