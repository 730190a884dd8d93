#include "capture/preview_writer.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "memory_streams.h"
#include "pixels/preview.h"

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

TEST(PreviewPacer, MakesAPreviewOfEitherKindOfFrameAtMostEveryHalfSecond) {
  testing::FakeClock clock;
  Channel<Bytes> channel = make_unbounded_channel<Bytes>();
  PreviewPacer pacer(std::move(channel.sender), clock);
  const Bytes bgra(64 * 36 * 4, 90), nv12(64 * 36 * 3 / 2, 90);
  Bytes from_bgra(kPreviewBytes), from_nv12(kPreviewBytes);
  preview_from_bgra(bgra, 64, 36, from_bgra);
  preview_from_nv12(nv12, 64, 36, from_nv12);
  for (Duration after : {0ms, 499ms, 1ms}) {  // offers at 0, 499 and 500 ms
    clock.advance(after);
    pacer.offer(after == 0ms ? bgra : nv12, {64, 36}, after != 0ms);
  }
  EXPECT_EQ(channel.receiver.try_receive(), from_bgra);
  EXPECT_EQ(channel.receiver.try_receive(), from_nv12);
  EXPECT_EQ(channel.receiver.try_receive(), std::nullopt);
}

}  // namespace
}  // namespace nimbra
