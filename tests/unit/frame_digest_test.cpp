#include "capture/frame_digest.h"

#include <gtest/gtest.h>

#include "capture/preview_writer.h"
#include "memory_streams.h"

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

TEST(PreviewWriter, WritesEachImageAsKind7AndEndsWithItsSenders) {
  testing::MemoryOutput out;
  MessageWriter writer(out);
  Channel<Bytes> channel = make_channel<Bytes>(1);
  offer_preview(channel.sender, Bytes(10, 1));
  offer_preview(channel.sender, Bytes(10, 2));  // the writer is behind: dropped
  channel.sender = PreviewSender();
  run_preview_writer(std::move(channel.receiver), writer);  // returns: the channel closed
  const auto messages = testing::parse_messages(out.data);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, 7);
  EXPECT_EQ(messages[0].payload, Bytes(10, 1));
}

}  // namespace
}  // namespace nimbra
