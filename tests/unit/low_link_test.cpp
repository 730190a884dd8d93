#include "capture/low_link.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"

namespace nimbra {
namespace {

constexpr Duration kFrame{33'333'333};

struct Feeder {
  testing::FakeClock clock;
  Channel<LowFrame> frames = make_channel<LowFrame>(1);
  Channel<Bytes> returned = make_unbounded_channel<Bytes>();
  LowFeeder feeder;
  explicit Feeder(std::uint32_t fps)
      : feeder(LowLink{std::move(frames.sender), std::move(returned.receiver), {32, 18}}, fps, clock) {}
  // An encoder thread that keeps up: takes the frame and gives its buffer back.
  std::optional<LowFrame> take() {
    std::optional<LowFrame> frame = frames.receiver.try_receive();
    if (frame) (void)returned.sender.try_send(Bytes(frame->pixels));
    return frame;
  }
};

TEST(LowFeeder, HandsOverWhenDueWithThreeMillisecondsToSpareAndKeyFramesAtOnce) {
  struct Case {
    std::uint32_t fps;
    Duration spacing;
    std::vector<bool> key;
    std::vector<bool> handed;
  };
  const Case cases[] = {
      {15, kFrame, {false, false, false, false, false}, {true, false, true, false, true}},
      {15, kFrame, {false, true, false, false, false}, {true, true, false, true, false}},
      {30, kFrame - 3ms, {false, false, false}, {true, true, true}},      // a little early is still due
      {30, kFrame - 4ms, {false, false, false}, {true, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    Feeder f(c.fps);
    std::vector<bool> handed;
    for (std::size_t i = 0; i < c.key.size(); ++i) {
      const Bytes pixels(10, static_cast<std::uint8_t>(i));
      handed.push_back(f.feeder.offer(pixels, {5, 2}, c.key[i]));
      if (handed.back()) {
        const std::optional<LowFrame> frame = f.take();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->pixels, pixels);
        EXPECT_EQ((Size{frame->width, frame->height}), (Size{5, 2}));
        EXPECT_EQ(frame->key_request, c.key[i]);
      }
      f.clock.advance(c.spacing);
    }
    EXPECT_EQ(handed, c.handed);
  }
}

TEST(LowFeeder, NeverWaitsForTheThreadAndCirculatesAtMostThreeBuffers) {
  Feeder f(60);
  const Bytes pixels(8, 1);
  EXPECT_TRUE(f.feeder.offer(pixels, {2, 1}, false));
  f.clock.advance(kFrame);
  EXPECT_FALSE(f.feeder.offer(pixels, {2, 1}, true));  // the thread has not taken the last one
  // A thread that takes frames but keeps their buffers gets three, then no more.
  int handed = 1;
  for (int i = 0; i < 10; ++i) {
    (void)f.frames.receiver.try_receive();
    f.clock.advance(kFrame);
    handed += f.feeder.offer(pixels, {2, 1}, false) ? 1 : 0;
  }
  EXPECT_EQ(handed, 3);
  f.frames.receiver = Receiver<LowFrame>();  // the thread is gone
  f.clock.advance(kFrame);
  (void)f.returned.sender.try_send(Bytes());
  EXPECT_FALSE(f.feeder.offer(pixels, {2, 1}, true));
}

}  // namespace
}  // namespace nimbra
