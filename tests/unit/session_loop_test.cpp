// The frame loop in virtual time: pacing, unchanged frames, key requests,
// encode failures and the ways a session ends.
#include <gtest/gtest.h>

#include "fakes/session_rig.h"
#include "pixels/area_scale.h"
#include "pixels/preview.h"

namespace nimbra {
namespace {

using testing::SessionRig;
constexpr Duration kFrame{33'333'333};

// Each grab delivers a different image, so nothing is skipped as unchanged.
void make_every_frame_new(SessionRig& rig) {
  rig.source.script = [&rig](std::size_t index) -> Result<bool> {
    rig.source.image.assign(std::size_t(rig.source.width) * rig.source.height * 4, 0);
    rig.source.image[0] = static_cast<std::uint8_t>(index);
    rig.source.image[1] = static_cast<std::uint8_t>(index >> 8);
    return true;
  };
}

std::vector<Instant> encode_times(const SessionRig& rig) {
  std::vector<Instant> times;
  for (const auto& e : rig.encoders.encodes) times.push_back(e.at);
  return times;
}

TEST(SessionLoop, EncodesOneFramePerIntervalWithoutDrift) {
  struct Case {
    std::uint32_t fps;
    SourceKind kind;
    std::int64_t interval_ns;
    std::uint32_t wait_ms;
  };
  for (const Case& c : {Case{30, SourceKind::GdiScreen, 33'333'333, 33}, Case{60, SourceKind::GdiScreen, 16'666'666, 16},
                        Case{30, SourceKind::WgcCapture, 33'333'333, 33},
                        Case{30, SourceKind::DesktopDuplication, 33'333'333, 33},
                        Case{60, SourceKind::DesktopDuplication, 16'666'666, 16}}) {
    SCOPED_TRACE(::testing::Message() << c.fps << " fps, source kind " << int(c.kind));
    SessionRig rig;
    rig.settings.fps = c.fps;
    rig.source.kind = c.kind;
    rig.encoders.encode_cost = 7ms;  // time spent in the loop must not shift the schedule
    make_every_frame_new(rig);
    rig.source.dies_at = rig.clock.now() + 990ms;
    EXPECT_EQ(rig.run(), kExitOrderly);
    const auto times = encode_times(rig);
    ASSERT_GE(times.size(), c.fps);
    for (std::size_t i = 0; i < c.fps; ++i) EXPECT_EQ((times[i] - times[0]).count(), std::int64_t(i) * c.interval_ns);
    for (const auto& grab : rig.source.grabs) EXPECT_EQ(grab.wait_ms, c.wait_ms);
  }
}

TEST(SessionLoop, DoesNotCatchUpAfterAStall) {
  SessionRig rig;
  make_every_frame_new(rig);
  // The fourth encode takes 200 ms; the schedule restarts from its end.
  rig.source.script = [&rig, base = rig.source.script](std::size_t index) {
    rig.encoders.encode_cost = index == 3 ? 200ms : 1ms;
    return base(index);
  };
  rig.source.dies_at = rig.clock.now() + 500ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  const auto t = encode_times(rig);
  ASSERT_GE(t.size(), 7u);
  // The frame after the stall goes at once, and the ones after it one interval apart: no burst.
  EXPECT_EQ((std::vector<Duration>{t[4] - t[3], t[5] - t[4], t[6] - t[5]}), (std::vector<Duration>{1ms, kFrame, kFrame}));
}

TEST(SessionLoop, EncodesTheSixtyFirstUnchangedFrame) {
  SessionRig rig;  // a GDI source on a still screen: every grab delivers the same image
  rig.source.dies_at = rig.clock.now() + 150 * kFrame + 1ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  std::vector<int> encoded;
  for (const auto& e : rig.encoders.encodes) encoded.push_back(int((e.at - rig.encoders.created_at[0]) / kFrame));
  EXPECT_EQ(encoded, (std::vector<int>{0, 61, 122}));
}

TEST(SessionLoop, EncodesAOneGlyphChangeInAWideFrame) {
  SessionRig rig;
  rig.settings.width = rig.source.width = 1280;
  rig.settings.height = rig.source.height = 720;
  rig.source.image.assign(1280 * 720 * 4, 0xF0);
  rig.source.script = [&rig](std::size_t index) -> Result<bool> {
    // A dark 5 x 9 glyph at (401, 300), clear of every 64th byte.
    for (int y = 300; index == 5 && y < 309; ++y) {
      for (int x = 401; x < 406; ++x) {
        for (int k = 0; (x + y) % 2 == 0 && k < 3; ++k) rig.source.image[(y * 1280 + x) * 4 + k] = 0x10;
      }
    }
    return true;
  };
  rig.source.dies_at = rig.clock.now() + 10 * kFrame + 1ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(rig.encoders.encodes.size(), 2u);
  EXPECT_EQ(rig.encoders.encodes[1].at - rig.encoders.encodes[0].at, 5 * kFrame);
}

TEST(SessionLoop, ASourceOfNoSizeIsPacedButEncodesNothing) {
  SessionRig rig;
  rig.source.width = 0;
  rig.source.dies_at = rig.clock.now() + 990ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_TRUE(rig.encoders.encodes.empty());
  EXPECT_EQ(rig.source.grabs.size(), 30u);
}

TEST(SessionLoop, AKeyRequestReencodesAStillPictureAtOnce) {
  // A still duplication (forced key or a new encoder), a still GPU duplication
  // (its last picture repeated), and a minimised window (the last image in the
  // grab buffer, while the loop stays paced).
  struct Case {
    SourceKind kind;
    bool forceable, gpu;
  };
  for (const Case& c : {Case{SourceKind::DesktopDuplication, true, false}, Case{SourceKind::DesktopDuplication, false, false},
                        Case{SourceKind::DesktopDuplication, true, true}, Case{SourceKind::GdiWindow, true, false}}) {
    SCOPED_TRACE(::testing::Message() << int(c.kind) << " forceable " << c.forceable << " gpu " << c.gpu);
    SessionRig rig;
    rig.source.kind = c.kind;
    rig.source.gpu_possible = c.gpu;
    rig.source.nv12.assign(64 * 36 * 3 / 2, 77);
    rig.source.script = [](std::size_t index) -> Result<bool> { return index == 0; };
    rig.encoders.force_key_supported = c.forceable;
    const Instant start = rig.clock.now();
    rig.clock.at(start + 3s, [&] { rig.flags.main_key_request = true; });
    rig.source.dies_at = start + 4s - 1ms;
    EXPECT_EQ(rig.run(), kExitOrderly);
    ASSERT_EQ(rig.encoders.encodes.size(), 2u);
    const auto& again = rig.encoders.encodes[1];
    EXPECT_GE(again.at, start + 3s);
    EXPECT_LT(again.at, start + 3s + 40ms);
    EXPECT_EQ(again.digest, rig.encoders.encodes[0].digest);
    EXPECT_TRUE(again.key && again.force_key);
    EXPECT_EQ(rig.encoders.created, c.forceable ? 1 : 2);
    EXPECT_EQ(rig.source.gpu_repeats, c.gpu ? 1 : 0);
    EXPECT_FALSE(rig.flags.main_key_request);
    ASSERT_EQ(rig.messages().size(), 2u);
    EXPECT_EQ(rig.messages()[1].kind, 2);
    if (c.kind == SourceKind::GdiWindow) {
      ASSERT_EQ(rig.source.grabs.size(), 120u);
      for (std::size_t i = 1; i < 120; ++i) EXPECT_EQ(rig.source.grabs[i].at - rig.source.grabs[i - 1].at, kFrame);
    }
  }
}

TEST(SessionLoop, KeyRequestsWithoutForcedKeysRecreateAtMostEveryTwoSeconds) {
  SessionRig rig;
  make_every_frame_new(rig);
  rig.encoders.force_key_supported = false;
  const Instant start = rig.clock.now();
  rig.clock.at(start + 1s, [&] { rig.flags.main_key_request = true; });
  rig.clock.at(start + 1500ms, [&] { rig.flags.main_key_request = true; });
  rig.source.dies_at = start + 5s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(rig.encoders.created, 3);
  const Instant first = rig.encoders.created_at[1], second = rig.encoders.created_at[2];
  EXPECT_GE(first, start + 1s);
  EXPECT_LT(first, start + 1s + 34ms);
  EXPECT_GE(second, first + 2s);
  EXPECT_LT(second, first + 2s + 50ms);
  // While the second request waits, no frame is encoded and the loop holds in 50 ms steps.
  for (const auto& e : rig.encoders.encodes) EXPECT_FALSE(e.at > start + 1500ms + 34ms && e.at < second);
  const auto holds = std::count(rig.clock.sleeps.begin(), rig.clock.sleeps.end(), Duration(50ms));
  EXPECT_GE(holds, 29);
  EXPECT_LE(holds, 31);
}

TEST(SessionLoop, EncodeFailuresRecreateTheEncoderAndTheSixthInAMinuteEnds) {
  SessionRig rig;
  make_every_frame_new(rig);
  // Encodes 10, 20, … fail: a failure every third of a second.
  rig.encoders.encode_error = [](std::size_t index) {
    return index > 0 && index % 10 == 0 ? "ProcessInput: сбой (0x80004005)" : "";
  };
  rig.source.dies_at = rig.clock.now() + 60s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.encoders.created, 6);
  EXPECT_EQ(rig.lines, std::vector<std::string>(6, "[capture] encode: ProcessInput: сбой (0x80004005)"));
  EXPECT_EQ(rig.encoders.encode_calls, 61u);
  // Each new encoder starts with a key frame, its key request already taken.
  for (std::size_t i = 1; i < rig.encoders.encodes.size(); ++i) {
    const auto& e = rig.encoders.encodes[i];
    if (e.encoder != rig.encoders.encodes[i - 1].encoder) {
      EXPECT_TRUE(e.key && e.force_key);
    }
  }

  SessionRig spread;  // a failure every 15 s never makes six in a minute
  make_every_frame_new(spread);
  spread.encoders.encode_error = [](std::size_t index) { return index % 450 == 449 ? "сбой" : ""; };
  spread.source.dies_at = spread.clock.now() + 150s;
  EXPECT_EQ(spread.run(), kExitOrderly);
  EXPECT_EQ(spread.lines.size(), 10u);
  EXPECT_EQ(spread.encoders.created, 11);
  EXPECT_GT(spread.source.grabs.size(), 4400u);
}

TEST(SessionLoop, FailedRecreationsEndTheSession) {
  SessionRig after_failure;  // after an encode failure: a line, no JSON
  make_every_frame_new(after_failure);
  after_failure.encoders.encode_error = [](std::size_t index) { return index == 2 ? "e" : ""; };
  after_failure.encoders.create_error = [](int attempt) { return attempt == 2 ? "MFStartup: нет" : ""; };
  EXPECT_EQ(after_failure.run(), kExitOrderly);
  EXPECT_EQ(after_failure.lines,
            (std::vector<std::string>{"[capture] encode: e", "[capture] энкодер не пересоздан: MFStartup: нет"}));
  EXPECT_TRUE(after_failure.messages(1).empty());

  SessionRig for_key;  // for a key request: JSON, no line
  make_every_frame_new(for_key);
  for_key.encoders.force_key_supported = false;
  for_key.encoders.create_error = [](int attempt) { return attempt == 2 ? "MFStartup: \"нет\"" : ""; };
  for_key.clock.at(for_key.clock.now() + 100ms, [&] { for_key.flags.main_key_request = true; });
  EXPECT_EQ(for_key.run(), kExitOrderly);
  EXPECT_TRUE(for_key.lines.empty());
  const auto json = for_key.messages(1);
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0].text(), R"({"error":"MFStartup: \"нет\""})");
}

TEST(SessionLoop, EndsWhenTheWindowIsDestroyed) {
  SessionRig rig;
  rig.settings.source = SourceSpec{false, 5};
  rig.source.kind = SourceKind::WgcCapture;
  make_every_frame_new(rig);
  const Instant death = rig.clock.now() + 2s;
  rig.source.dies_at = death;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_LT(rig.source.grabs.back().at, death);
  EXPECT_GE(rig.clock.now(), death);
  EXPECT_LT(rig.clock.now(), death + 34ms);
}

TEST(SessionLoop, FortyFailedGrabsInARowEndTheSession) {
  SessionRig rig;
  rig.source.script = [](std::size_t index) -> Result<bool> {
    if (index == 39) return true;  // one success resets the count
    return fail("AcquireNextFrame: сбой (0x887A0001)");
  };
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(rig.source.grabs.size(), 80u);
  ASSERT_EQ(rig.lines.size(), 79u);
  const std::string line = ": AcquireNextFrame: сбой (0x887A0001)";
  EXPECT_EQ(rig.lines[0], "[capture] grab (1)" + line);
  EXPECT_EQ(rig.lines[38], "[capture] grab (39)" + line);
  EXPECT_EQ(rig.lines[39], "[capture] grab (1)" + line);
  EXPECT_EQ(rig.lines.back(), "[capture] grab (40)" + line);
  EXPECT_EQ(rig.source.grabs[1].at - rig.source.grabs[0].at, Duration(500ms));
}

TEST(SessionLoop, OffersAPreviewOfTheScaledFrameAtMostEveryHalfSecond) {
  SessionRig rig;
  rig.source.width = 128;
  rig.source.height = 72;
  make_every_frame_new(rig);
  struct Offered {
    Instant at;
    Bytes preview, image;  // the source image of the frame it was made from
  };
  std::vector<Offered> previews;
  rig.source.script = [&, base = rig.source.script](std::size_t index) {
    while (auto p = rig.previews->try_receive()) previews.push_back({rig.clock.now(), std::move(*p), rig.source.image});
    return base(index);
  };
  rig.source.dies_at = rig.clock.now() + 2200ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(previews.size(), 5u);
  for (std::size_t i = 1; i < previews.size(); ++i) EXPECT_GE(previews[i].at - previews[i - 1].at, 500ms);
  for (const Offered& offered : previews) {
    Bytes scaled(64 * 36 * 4), expected(kPreviewBytes);
    area_scale(offered.image, 128, 72, scaled, 64, 36);
    preview_from_bgra(scaled, 64, 36, expected);
    EXPECT_EQ(offered.preview, expected);
  }
}

}  // namespace
}  // namespace nimbra
