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
};

TEST(LowFeeder, HandsOverWhenDueWithThreeMillisecondsToSpareAndKeyFramesAtOnce) {
  // fps, spacing of the offers, key requests ('K') and the offers handed over ('+').
  const std::tuple<std::uint32_t, Duration, std::string, std::string> cases[] = {
      {15, kFrame, ".K...", "++.+."},
      {30, kFrame - 3ms, "...", "+++"},  // a little early is still due
      {30, kFrame - 4ms, "...", "+.+"},
  };
  for (const auto& [fps, spacing, keys, want] : cases) {
    Feeder f(fps);
    std::string handed;
    for (std::size_t i = 0; i < keys.size(); ++i, f.clock.advance(spacing)) {
      const Bytes pixels(10, static_cast<std::uint8_t>(i));
      handed += f.feeder.offer(pixels, {5, 2}, keys[i] == 'K') ? '+' : '.';
      // An encoder thread that keeps up: takes the frame and gives its buffer back.
      if (std::optional<LowFrame> frame = f.frames.receiver.try_receive()) {
        EXPECT_EQ(std::tuple(frame->pixels, frame->width, frame->height, frame->key_request),
                  std::tuple(pixels, 5u, 2u, keys[i] == 'K'));
        (void)f.returned.sender.try_send(std::move(frame->pixels));
      }
    }
    EXPECT_EQ(handed, want) << fps << keys;
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
