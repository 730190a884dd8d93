#include "capture/frame_digest.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(FrameDigest, EveryByteCounts) {
  Bytes frame(1280 * 720 * 4, 0xF0);
  const FrameDigest base = frame_digest(frame);
  for (std::size_t at : {std::size_t{1}, std::size_t{63}, std::size_t{65}, frame.size() / 2 + 3, frame.size() - 1}) {
    Bytes changed = frame;
    changed[at] ^= 1;
    EXPECT_NE(frame_digest(changed), base) << at;
  }
  EXPECT_EQ(frame_digest({}), 0u);
}

}  // namespace
}  // namespace nimbra
