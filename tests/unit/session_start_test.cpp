#include <gtest/gtest.h>

#include <array>

#include "fakes/session_rig.h"

namespace nimbra {
namespace {

using testing::SessionRig;
using Lines = std::vector<std::string>;

TEST(SessionStart, StartsHelpersInOrderThenOpensTheSourceAndTheEncoder) {
  SessionRig rig;
  rig.settings.parent_pid = 42;
  rig.settings.audio = true;
  rig.settings.low = LowSettings{32, 18, 15, 300'000};
  rig.source.dies_at = rig.clock.now();
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.events, (Lines{"run", "watchdog 42", "stdin", "handshake", "audio", "encoder thread 32x18",
                               "preview writer", "open screen"}));
  ASSERT_EQ(rig.encoders.created, 1);
  const EncoderSettings& s = rig.encoders.settings[0];
  EXPECT_EQ((std::array{s.width, s.height, s.fps, s.bitrate}), (std::array<std::uint32_t, 4>{64, 36, 30, 2'500'000}));

  SessionRig plain;  // no watchdog, audio or low layer when not asked for
  plain.source.dies_at = plain.clock.now();
  EXPECT_EQ(plain.run(), kExitOrderly);
  EXPECT_EQ(plain.events, (Lines{"run", "stdin", "handshake", "preview writer", "open screen"}));
}

TEST(SessionStart, SourcesFallBackWithTheirDiagnosticsAndEndWithStatus3) {
  struct Case {
    bool screen;
    const char *primary_error, *fallback_error;
    int status;
    Lines lines, opens;
  };
  const Lines screen_both = {"open screen", "open screen fallback"};
  const Lines window_both = {"open window 777", "open window fallback 777"};
  const Case cases[] = {
      {true, "", "", 0, {}, {"open screen"}},
      {true, "E1 (0x80004001)", "", 0, {"[capture] дубликация недоступна (E1 (0x80004001)) — GDI-фолбэк"}, screen_both},
      {true, "E1", "E2", 3, {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"}, screen_both},
      {false, "", "", 0, {}, {"open window 777"}},
      {false, "W1", "", 0, {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"}, window_both},
      {false, "W1", "окно не существует", 3,
       {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"}, window_both},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.primary_error << " / " << c.fallback_error);
    SessionRig rig;
    rig.settings.source = c.screen ? SourceSpec{} : SourceSpec{false, 777};
    rig.primary_error = c.primary_error;
    rig.fallback_error = c.fallback_error;
    rig.source.dies_at = rig.fallback_source.dies_at = rig.clock.now();
    EXPECT_EQ(rig.run(), c.status);
    EXPECT_EQ(rig.lines, c.lines);
    Lines opens;
    for (const std::string& e : rig.events) {
      if (e.starts_with("open")) opens.push_back(e);
    }
    EXPECT_EQ(opens, c.opens);
    // No encoder is made for a session that could not open a source.
    EXPECT_EQ(rig.encoders.create_attempts, c.status == kExitNoSource ? 0 : 1);
    EXPECT_TRUE(rig.messages().empty());
  }
}

TEST(SessionStart, EncoderFailureAtStartEndsWithStatus2AndAnErrorObject) {
  SessionRig rig;
  rig.encoders.create_error = [](int) { return std::string("MFTEnumEx: \"нет\" \\ (0x80004005)"); };
  EXPECT_EQ(rig.run(), kExitNoEncoder);
  EXPECT_EQ(rig.lines, Lines{"[capture] энкодер: MFTEnumEx: \"нет\" \\ (0x80004005)"});
  const auto messages = rig.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, 1);
  EXPECT_EQ(messages[0].text(), R"j({"error":"MFTEnumEx: \"нет\" \\ (0x80004005)"})j");
  EXPECT_TRUE(rig.source.grabs.empty());
}

TEST(SessionStart, UsesTheGpuOnlyForADuplicationThatAcceptsIt) {
  struct Case {
    SourceKind kind;
    bool gpu_possible, gpu_off, with_low, gpu_used;
    Lines lines;
  };
  const Lines used = {"[capture] GPU-конверсия: 64×36 → 32×18 NV12"};
  const Case cases[] = {
      {SourceKind::DesktopDuplication, true, false, false, true, used},
      {SourceKind::DesktopDuplication, true, false, true, true, used},
      {SourceKind::DesktopDuplication, false, false, false, false,
       {"[capture] GPU-конверсия недоступна (нет GPU) — CPU-путь"}},
      {SourceKind::DesktopDuplication, true, true, false, false, {}},
      {SourceKind::GdiScreen, true, false, false, false, {}},
      {SourceKind::WgcCapture, true, false, false, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.kind) << " possible " << c.gpu_possible << " off " << c.gpu_off
                                      << " low " << c.with_low);
    SessionRig rig;
    rig.settings.width = 32;
    rig.settings.height = 18;
    if (c.with_low) rig.settings.low = LowSettings{16, 10, 15, 100'000};
    rig.source.kind = c.kind;
    rig.source.gpu_possible = c.gpu_possible;
    rig.source.nv12.assign(32 * 18 * 3 / 2, 100);
    if (c.gpu_off) rig.env.push_back("NIMBRA_GPU_OFF");
    rig.source.dies_at = rig.clock.now() + 100ms;
    EXPECT_EQ(rig.run(), kExitOrderly);
    EXPECT_EQ(rig.lines, c.lines);
    ASSERT_FALSE(rig.source.grabs.empty());
    EXPECT_EQ(rig.source.grabs[0].gpu, c.gpu_used);
    if (c.gpu_used) {
      // The low layer's size is the second output even while the layer is off.
      EXPECT_EQ(rig.source.gpu_second, c.with_low ? std::optional<Size>(Size{16, 10}) : std::nullopt);
      EXPECT_FALSE(rig.source.grabs[0].second);
      EXPECT_FALSE(rig.encoders.encodes.empty());
    }
  }
}

TEST(SessionStart, RunsTheGpuCheckOnceOnTheFirstGpuFrame) {
  SessionRig rig;
  rig.source.kind = SourceKind::DesktopDuplication;
  rig.source.gpu_possible = true;
  rig.source.nv12.assign(64 * 36 * 3 / 2, 100);
  rig.env.push_back("NIMBRA_GPU_CHECK");
  rig.source.dies_at = rig.clock.now() + 1s;
  std::vector<std::size_t> checked;  // the size of each checked picture
  SessionPorts ports = rig.ports();
  ports.gpu_check = [&](CaptureSource&, ByteView nv12, std::uint32_t w, std::uint32_t h) {
    checked.push_back(nv12.size() == std::size_t{w} * h * 3 / 2 && w == 64 && h == 36 ? nv12.size() : 0);
  };
  EXPECT_EQ(CaptureSession(rig.settings, std::move(ports)).run(), kExitOrderly);
  EXPECT_EQ(checked, std::vector<std::size_t>{64 * 36 * 3 / 2});
  EXPECT_GT(rig.source.grabs.size(), 20u);
}

}  // namespace
}  // namespace nimbra
