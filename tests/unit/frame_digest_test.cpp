#include "capture/frame_digest.h"

#include <gtest/gtest.h>

#include "pixels_support.h"

namespace nimbra {
namespace {

TEST(FrameDigest, EveryByteCounts) {
  Bytes frame(1280 * 720 * 4, 0xF0);
  const FrameDigest base = frame_digest(frame);
  EXPECT_NE(base, kNoDigest);
  for (std::size_t at : {std::size_t{1}, std::size_t{63}, std::size_t{65}, frame.size() / 2 + 3, frame.size() - 1}) {
    Bytes changed = frame;
    changed[at] ^= 1;
    EXPECT_NE(frame_digest(changed), base) << at;
  }
  EXPECT_EQ(frame_digest({}), 0u);
}

TEST(FrameDigest, SameValueOnEveryInstructionSet) {
  std::mt19937 rng(5);
  for (std::size_t size : {std::size_t{3}, std::size_t{240}, std::size_t{1000}, std::size_t{640 * 360 * 4}}) {
    const Bytes frame = testing::random_bytes(rng, size);
    FrameDigest first = 0;
    for (SimdLevel level : testing::available_levels()) {
      testing::ForcedSimdLevel forced(level);
      if (level == SimdLevel::scalar) first = frame_digest(frame);
      EXPECT_EQ(frame_digest(frame), first) << simd_level_name(level) << " " << size;
    }
  }
}

}  // namespace
}  // namespace nimbra
