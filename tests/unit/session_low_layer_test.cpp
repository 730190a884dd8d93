// How the frame loop feeds the low layer's encoder thread.
#include <gtest/gtest.h>

#include "fakes/session_rig.h"

namespace nimbra {
namespace {

using testing::SessionRig;

constexpr Duration kFrame{33'333'333};

struct Handed {
  Instant at;
  LowFrame frame;
};

// A rig with a 30 fps main stream of always-new images and a 15 fps low
// layer; `consume` runs before every grab, standing in for the encoder thread.
struct LowRig : SessionRig {
  std::vector<Handed> handed;
  std::function<void()> consume;

  LowRig() {
    settings.low = LowSettings{32, 18, 15, 200'000};
    source.script = [this](std::size_t index) -> Result<bool> {
      if (consume) consume();
      source.image.assign(std::size_t(source.width) * source.height * 4, 0);
      source.image[0] = static_cast<std::uint8_t>(index);
      if (!source.nv12.empty()) source.nv12[0] = static_cast<std::uint8_t>(index);
      return true;
    };
  }
  // An encoder thread that keeps up: takes every frame and returns its buffer at once.
  void keep_up() {
    consume = [this] {
      while (auto frame = low_frames->try_receive()) {
        handed.push_back({clock.now(), *frame});
        (void)low_returns->try_send(std::move(frame->pixels));
      }
    };
  }
};

TEST(SessionLowLayer, StaysSilentUntilEnabledAndStopsWhenDisabled) {
  LowRig rig;
  rig.keep_up();
  const Instant start = rig.clock.now();
  rig.clock.at(start + 1s, [&] {  // command 11
    rig.flags.low_enabled = true;
    rig.flags.low_key_request = true;
  });
  rig.clock.at(start + 3s, [&] { rig.flags.low_enabled = false; });  // command 12
  rig.source.dies_at = start + 4s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  rig.consume();
  ASSERT_FALSE(rig.handed.empty());
  EXPECT_GE(rig.handed.front().at, start + 1s);
  EXPECT_TRUE(rig.handed.front().frame.key_request);
  EXPECT_FALSE(rig.flags.low_key_request);
  for (std::size_t i = 1; i < rig.handed.size(); ++i) EXPECT_FALSE(rig.handed[i].frame.key_request);
  EXPECT_LE(rig.handed.back().at, start + 3s + kFrame);
  // Two seconds of a 15 fps layer.
  EXPECT_GE(rig.handed.size(), 30u);
  EXPECT_LE(rig.handed.size(), 31u);
  // The CPU path hands over the main-size BGRA frame; the thread scales it down.
  EXPECT_EQ(rig.handed.front().frame.width, 64u);
  EXPECT_EQ(rig.handed.front().frame.height, 36u);
  EXPECT_EQ(rig.handed.front().frame.pixels.size(), 64u * 36 * 4);
}

TEST(SessionLowLayer, HandsEverySecondFrameToAHalfRateLayerAndKeyRequestsAtOnce) {
  LowRig rig;
  rig.keep_up();
  rig.flags.low_enabled = true;
  const Instant start = rig.clock.now();
  // A key request between two due frames is served by the very next frame.
  rig.clock.at(start + 40 * kFrame + 1ms, [&] { rig.flags.low_key_request = true; });
  rig.source.dies_at = start + 60 * kFrame - 1ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  rig.consume();
  std::vector<int> frames;
  for (const Handed& h : rig.handed) frames.push_back(static_cast<int>((h.at - start + 1ms) / kFrame));
  // Frames are seen by the consumer one grab after the hand-over.
  std::vector<int> expected;
  for (int i = 0; i <= 40; i += 2) expected.push_back(i + 1);
  expected.push_back(42);  // frame 41, the key request
  for (int i = 43; i < 60; i += 2) expected.push_back(i + 1);
  EXPECT_EQ(frames, expected);
}

TEST(SessionLowLayer, AnEncoderThreadThatFallsBehindNeverHoldsUpTheMainStream) {
  // One that never gives a buffer back (so no more than three circulate), one
  // that takes a frame a second, and one that is gone.
  enum Consumer { kKeeps, kSlow, kGone };
  for (const Consumer consumer : {kKeeps, kSlow, kGone}) {
    SCOPED_TRACE(consumer);
    LowRig rig;
    rig.flags.low_enabled = true;
    std::vector<LowFrame> kept;
    int taken = 0;
    rig.consume = [&] {
      if (consumer == kGone) return rig.low_frames.reset();
      if (consumer == kSlow && rig.clock.now() % Duration(1s) >= kFrame) return;
      while (auto frame = rig.low_frames->try_receive()) {
        ++taken;
        if (consumer == kKeeps) kept.push_back(std::move(*frame));
        if (consumer == kSlow) return (void)rig.low_returns->try_send(std::move(frame->pixels));
      }
    };
    rig.source.dies_at = rig.clock.now() + 150 * kFrame - 1ms;
    EXPECT_EQ(rig.run(), kExitOrderly);
    const int fewest[] = {3, 4, 0}, most[] = {3, 6, 0};
    EXPECT_GE(taken, fewest[consumer]);
    EXPECT_LE(taken, most[consumer]);
    ASSERT_EQ(rig.encoders.encodes.size(), 150u);
    for (std::size_t i = 1; i < rig.encoders.encodes.size(); ++i) {
      EXPECT_EQ(rig.encoders.encodes[i].at - rig.encoders.encodes[i - 1].at, kFrame);
    }
  }
}

TEST(SessionLowLayer, TheGpuPathHandsOverTheSecondOutput) {
  LowRig rig;
  rig.keep_up();
  rig.source.kind = SourceKind::DesktopDuplication;
  rig.source.gpu_possible = true;
  rig.source.nv12.assign(64 * 36 * 3 / 2, 90);
  rig.source.low_nv12.assign(32 * 18 * 3 / 2, 70);
  const Instant start = rig.clock.now();
  rig.clock.at(start + 500ms, [&] { rig.flags.low_enabled = true; });
  rig.source.dies_at = start + 1s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  rig.consume();
  ASSERT_FALSE(rig.handed.empty());
  for (const auto& grab : rig.source.grabs) EXPECT_EQ(grab.second, grab.at >= start + 500ms);
  for (const Handed& h : rig.handed) {
    EXPECT_EQ(h.frame.width, 32u);
    EXPECT_EQ(h.frame.height, 18u);
    EXPECT_EQ(h.frame.pixels, rig.source.low_nv12);
  }
}

}  // namespace
}  // namespace nimbra
