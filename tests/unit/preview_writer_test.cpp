#include "capture/preview_writer.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "pixels/preview.h"

namespace nimbra {
namespace {

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
