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

TEST(BandedDigest, FollowsTheRowsItIsToldChanged) {
  // 40 rows of 8 bytes: two bands of 16 rows and a short one.
  Bytes frame(40 * 8, 0x5A);
  BandedDigest digest;
  const FrameDigest base = digest.update(frame, 8, RowSpan::all());
  for (const std::uint32_t row : {0u, 17u, 39u}) {
    frame[row * 8 + 3] ^= 1;
    const FrameDigest changed = digest.update(frame, 8, {row, row + 1});
    EXPECT_NE(changed, base) << row;
    EXPECT_EQ(changed, BandedDigest().update(frame, 8, RowSpan::all())) << row;
    frame[row * 8 + 3] ^= 1;
    EXPECT_EQ(digest.update(frame, 8, {row, row + 1}), base) << row;
  }
  // Another length or row length: every row is hashed again.
  for (const std::size_t row_bytes : {std::size_t{8}, std::size_t{4}}) {
    frame.assign(frame.size() + row_bytes, 0x11);
    EXPECT_EQ(digest.update(frame, row_bytes, {}), BandedDigest().update(frame, row_bytes, RowSpan::all()));
  }
}

}  // namespace
}  // namespace nimbra
