// The frame loop in virtual time: pacing, unchanged frames, key requests,
// encode failures and the ways a session ends.
#include <gtest/gtest.h>

#include "fakes/session_rig.h"
#include "pixels/area_scale.h"
#include "pixels/preview.h"

namespace nimbra {
namespace {

using testing::SessionRig;

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

struct PacingCase {
  std::uint32_t fps;
  SourceKind kind;
  std::int64_t interval_ns;
  std::uint32_t wait_ms;
};

class SessionPacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(SessionPacing, EncodesOneFramePerIntervalWithoutDrift) {
  const PacingCase& c = GetParam();
  SessionRig rig;
  rig.settings.fps = c.fps;
  rig.source.kind = c.kind;
  rig.encoders.encode_cost = 7ms;  // time spent in the loop must not shift the schedule
  make_every_frame_new(rig);
  const Instant start = rig.clock.now();
  rig.source.dies_at = start + 990ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  const auto times = encode_times(rig);
  ASSERT_GE(times.size(), c.fps);
  for (std::size_t i = 0; i < c.fps; ++i) {
    EXPECT_EQ((times[i] - times[0]).count(), static_cast<std::int64_t>(i) * c.interval_ns) << i;
  }
  for (const auto& grab : rig.source.grabs) EXPECT_EQ(grab.wait_ms, c.wait_ms);
}

INSTANTIATE_TEST_SUITE_P(Rates, SessionPacing,
                         ::testing::Values(PacingCase{30, SourceKind::GdiScreen, 33'333'333, 33},
                                           PacingCase{60, SourceKind::GdiScreen, 16'666'666, 16},
                                           PacingCase{30, SourceKind::WgcCapture, 33'333'333, 33},
                                           PacingCase{30, SourceKind::DesktopDuplication, 33'333'333, 33},
                                           PacingCase{60, SourceKind::DesktopDuplication, 16'666'666, 16}));

TEST(SessionLoop, DoesNotCatchUpAfterAStall) {
  SessionRig rig;
  make_every_frame_new(rig);
  rig.encoders.encode_cost = 1ms;
  // The fourth encode takes 200 ms; the schedule restarts from its end.
  rig.source.script = [&rig, base = rig.source.script](std::size_t index) {
    rig.encoders.encode_cost = index == 3 ? 200ms : 1ms;
    return base(index);
  };
  rig.source.dies_at = rig.clock.now() + 500ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  const auto times = encode_times(rig);
  ASSERT_GE(times.size(), 7u);
  // The frame after the stall goes at once, and the ones after it one interval apart: no burst.
  EXPECT_EQ(times[4] - times[3], Duration(1ms));
  EXPECT_EQ(times[5] - times[4], Duration(33'333'333));
  EXPECT_EQ(times[6] - times[5], Duration(33'333'333));
}

TEST(SessionLoop, EncodesTheSixtyFirstUnchangedFrame) {
  SessionRig rig;  // a GDI source on a still screen: every grab delivers the same image
  rig.source.dies_at = rig.clock.now() + 150 * Duration(33'333'333) + 1ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  std::vector<int> encoded;
  for (const auto& e : rig.encoders.encodes) {
    encoded.push_back(static_cast<int>((e.at - rig.encoders.created_at[0]) / Duration(33'333'333)));
  }
  EXPECT_EQ(encoded, (std::vector<int>{0, 61, 122}));
}

TEST(SessionLoop, EncodesAOneGlyphChangeInAWideFrame) {
  SessionRig rig;
  rig.settings.width = rig.source.width = 1280;
  rig.settings.height = rig.source.height = 720;
  rig.source.image.assign(1280 * 720 * 4, 0xF0);
  rig.source.script = [&rig](std::size_t index) -> Result<bool> {
    if (index == 5) {
      // A dark 5 x 9 glyph at (401, 300), clear of every 64th byte.
      for (int y = 300; y < 309; ++y) {
        for (int x = 401; x < 406; ++x) {
          if ((x + y) % 2 == 0) {
            for (int k = 0; k < 3; ++k) rig.source.image[(y * 1280 + x) * 4 + k] = 0x10;
          }
        }
      }
    }
    return true;
  };
  rig.source.dies_at = rig.clock.now() + 10 * Duration(33'333'333) + 1ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(rig.encoders.encodes.size(), 2u);
  EXPECT_EQ(rig.encoders.encodes[1].at - rig.encoders.encodes[0].at, 5 * Duration(33'333'333));
}

TEST(SessionLoop, AStillDuplicationEncodesNothingUntilAKeyRequest) {
  for (bool forceable : {true, false}) {
    SCOPED_TRACE(forceable);
    SessionRig rig;
    rig.source.kind = SourceKind::DesktopDuplication;
    rig.source.script = [](std::size_t index) -> Result<bool> { return index == 0; };
    rig.encoders.force_key_supported = forceable;
    const Instant start = rig.clock.now();
    rig.clock.at(start + 3s, [&] { rig.flags.main_key_request = true; });
    rig.source.dies_at = start + 4s;
    EXPECT_EQ(rig.run(), kExitOrderly);
    ASSERT_EQ(rig.encoders.encodes.size(), 2u);
    const auto& again = rig.encoders.encodes[1];
    EXPECT_GE(again.at, start + 3s);
    EXPECT_LT(again.at, start + 3s + 40ms);
    EXPECT_EQ(again.digest, rig.encoders.encodes[0].digest);
    EXPECT_TRUE(again.key);
    EXPECT_EQ(rig.encoders.created, forceable ? 1 : 2);
    EXPECT_FALSE(rig.flags.main_key_request);
    const auto kinds = rig.messages();
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[1].kind, 2);
  }
}

TEST(SessionLoop, AStillGpuDuplicationRepeatsItsLastPictureForAKeyRequest) {
  SessionRig rig;
  rig.source.kind = SourceKind::DesktopDuplication;
  rig.source.gpu_possible = true;
  rig.source.nv12.assign(64 * 36 * 3 / 2, 77);
  rig.source.script = [](std::size_t index) -> Result<bool> { return index == 0; };
  const Instant start = rig.clock.now();
  rig.clock.at(start + 1s, [&] { rig.flags.main_key_request = true; });
  rig.source.dies_at = start + 2s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.source.gpu_repeats, 1);
  ASSERT_EQ(rig.encoders.encodes.size(), 2u);
  EXPECT_TRUE(rig.encoders.encodes[1].force_key);
  EXPECT_EQ(rig.encoders.encodes[1].digest, frame_digest(rig.source.nv12));
}

TEST(SessionLoop, AHiddenWindowKeepsTheLoopPacedWithoutEncoding) {
  SessionRig rig;
  rig.settings.source = SourceSpec{false, 9};
  rig.source.kind = SourceKind::GdiWindow;
  // The first image comes, then the window is minimised.
  rig.source.script = [](std::size_t index) -> Result<bool> { return index == 0; };
  rig.clock.at(rig.clock.now() + 500ms, [&] { rig.flags.main_key_request = true; });
  rig.source.dies_at = rig.clock.now() + 990ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.source.grabs.size(), 30u);
  for (std::size_t i = 1; i < rig.source.grabs.size(); ++i) {
    EXPECT_EQ(rig.source.grabs[i].at - rig.source.grabs[i - 1].at, Duration(33'333'333));
  }
  // A key request re-encodes the last image still in the grab buffer.
  ASSERT_EQ(rig.encoders.encodes.size(), 2u);
  EXPECT_TRUE(rig.encoders.encodes[1].force_key);
}

TEST(SessionLoop, ForceableEncoderGetsTheKeyRequestOnTheNextFrame) {
  SessionRig rig;
  make_every_frame_new(rig);
  const Instant start = rig.clock.now();
  rig.clock.at(start + 500ms, [&] { rig.flags.main_key_request = true; });
  rig.source.dies_at = start + 1s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.encoders.created, 1);
  int forced = 0;
  for (const auto& e : rig.encoders.encodes) {
    if (e.force_key) {
      ++forced;
      EXPECT_GE(e.at, start + 500ms);
      EXPECT_LT(e.at, start + 500ms + 34ms);
      EXPECT_TRUE(e.key);
    }
  }
  EXPECT_EQ(forced, 1);
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
  for (const auto& e : rig.encoders.encodes) {
    EXPECT_FALSE(e.at > start + 1500ms + 34ms && e.at < second) << (e.at - start).count();
  }
  const auto holds = std::count(rig.clock.sleeps.begin(), rig.clock.sleeps.end(), Duration(50ms));
  EXPECT_GE(holds, 29);
  EXPECT_LE(holds, 31);
}

TEST(SessionLoop, FiveEncodeFailuresInAMinuteRecreateTheEncoderAndTheSixthEnds) {
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
}

TEST(SessionLoop, EncodeFailuresSpreadOverMoreThanAMinuteAreSurvived) {
  SessionRig rig;
  make_every_frame_new(rig);
  rig.encoders.encode_error = [](std::size_t index) { return index % 450 == 449 ? "сбой" : ""; };  // every 15 s
  rig.source.dies_at = rig.clock.now() + 150s;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.lines.size(), 10u);
  EXPECT_EQ(rig.encoders.created, 11);
  EXPECT_GT(rig.source.grabs.size(), 4400u);
}

TEST(SessionLoop, FailedRecreationsEndTheSession) {
  {
    SessionRig rig;  // after an encode failure: a line, no JSON
    make_every_frame_new(rig);
    rig.encoders.encode_error = [](std::size_t index) { return index == 2 ? "e" : ""; };
    rig.encoders.create_error = [](int attempt) { return attempt == 2 ? "MFStartup: нет" : ""; };
    EXPECT_EQ(rig.run(), kExitOrderly);
    EXPECT_EQ(rig.lines, (std::vector<std::string>{"[capture] encode: e", "[capture] энкодер не пересоздан: MFStartup: нет"}));
    EXPECT_EQ(testing::messages_of_kind(rig.messages(), 1).size(), 0u);
  }
  {
    SessionRig rig;  // for a key request: JSON, no line
    make_every_frame_new(rig);
    rig.encoders.force_key_supported = false;
    rig.encoders.create_error = [](int attempt) { return attempt == 2 ? "MFStartup: \"нет\"" : ""; };
    rig.clock.at(rig.clock.now() + 100ms, [&] { rig.flags.main_key_request = true; });
    EXPECT_EQ(rig.run(), kExitOrderly);
    EXPECT_TRUE(rig.lines.empty());
    const auto json = testing::messages_of_kind(rig.messages(), 1);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0].text(), R"({"error":"MFStartup: \"нет\""})");
  }
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
  EXPECT_EQ(rig.lines[0], "[capture] grab (1): AcquireNextFrame: сбой (0x887A0001)");
  EXPECT_EQ(rig.lines[38], "[capture] grab (39): AcquireNextFrame: сбой (0x887A0001)");
  EXPECT_EQ(rig.lines[39], "[capture] grab (1): AcquireNextFrame: сбой (0x887A0001)");
  EXPECT_EQ(rig.lines.back(), "[capture] grab (40): AcquireNextFrame: сбой (0x887A0001)");
  EXPECT_EQ(rig.source.grabs[1].at - rig.source.grabs[0].at, Duration(500ms));
}

TEST(SessionLoop, ASourceOfNoSizeIsTreatedAsNothingNew) {
  SessionRig rig;
  rig.source.width = 0;
  rig.source.dies_at = rig.clock.now() + 990ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_TRUE(rig.encoders.encodes.empty());
  EXPECT_EQ(rig.source.grabs.size(), 30u);  // still paced
}

TEST(SessionLoop, OffersAPreviewOfTheScaledFrameAtMostEveryHalfSecond) {
  SessionRig rig;
  rig.source.width = 128;
  rig.source.height = 72;
  make_every_frame_new(rig);
  struct Offered {
    Instant at;
    Bytes preview;
    Bytes image;  // the source image of the frame it was made from
  };
  std::vector<Offered> previews;
  rig.source.script = [&, base = rig.source.script](std::size_t index) {
    while (auto p = rig.previews->try_receive()) previews.push_back({rig.clock.now(), std::move(*p), rig.source.image});
    return base(index);
  };
  const Instant start = rig.clock.now();
  rig.source.dies_at = start + 2200ms;
  EXPECT_EQ(rig.run(), kExitOrderly);
  ASSERT_EQ(previews.size(), 5u);
  for (std::size_t i = 1; i < previews.size(); ++i) EXPECT_GE(previews[i].at - previews[i - 1].at, 500ms);
  for (const Offered& offered : previews) {
    Bytes scaled(64 * 36 * 4);
    area_scale(offered.image, 128, 72, scaled, 64, 36);
    Bytes expected(kPreviewBytes);
    preview_from_bgra(scaled, 64, 36, expected);
    EXPECT_EQ(offered.preview, expected);
  }
}

}  // namespace
}  // namespace nimbra
