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

TEST(BandedDigest, HashesAgainTheRowsItIsToldChangedOrAllOfAnotherLayout) {
  Bytes frame(40 * 8, 0x5A);  // rows of 8 bytes: two bands of 16 rows and a short one
  BandedDigest digest;
  const FrameDigest base = digest.update(frame, 8, RowSpan::all());
  for (const std::uint32_t row : {0u, 17u, 39u}) {
    frame[row * 8 + 3] ^= 1;
    EXPECT_NE(digest.update(frame, 8, {row, row + 1}), base) << row;
    frame[row * 8 + 3] ^= 1;
    EXPECT_EQ(digest.update(frame, 8, {row, row + 1}), base) << row;
  }
  for (const std::size_t row_bytes : {std::size_t{8}, std::size_t{4}}) {  // longer, then shorter rows
    frame.assign(frame.size() + row_bytes, 0x11);
    EXPECT_EQ(digest.update(frame, row_bytes, {}), BandedDigest().update(frame, row_bytes, RowSpan::all()));
  }
}

}  // namespace
}  // namespace nimbra
