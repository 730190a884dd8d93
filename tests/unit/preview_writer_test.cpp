#include "capture/preview_writer.h"

#include <gtest/gtest.h>

#include "memory_streams.h"

namespace nimbra {
namespace {

TEST(PreviewWriter, WritesEachImageAsKind7AndEndsWithItsSenders) {
  testing::MemoryOutput out;
  MessageWriter writer(out);
  Channel<Bytes> channel = make_channel<Bytes>(1);
  (void)channel.sender.try_send(Bytes(10, 1));
  channel.sender = PreviewSender();
  run_preview_writer(std::move(channel.receiver), writer);  // returns: the channel closed
  const auto messages = testing::parse_messages(out.data);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, 7);
  EXPECT_EQ(messages[0].payload, Bytes(10, 1));
}

}  // namespace
}  // namespace nimbra
