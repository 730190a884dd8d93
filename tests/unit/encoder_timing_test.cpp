#include "codec/encoder_timing.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(EncoderTiming, DurationAndKeyIntervalFollowTheRate) {
  // fps, sample duration in 100 ns units, key-frame interval
  for (auto [fps, duration, interval] : {std::tuple{0u, 10'000'000, 30u}, {15u, 666'666, 30u}, {30u, 333'333, 60u}}) {
    EXPECT_EQ(std::pair(sample_duration_100ns(fps), key_frame_interval(fps)), std::pair(std::int64_t{duration}, interval))
        << fps;
  }
}

}  // namespace
}  // namespace nimbra
