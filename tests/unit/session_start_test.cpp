#include <gtest/gtest.h>

#include "fakes/session_rig.h"

namespace nimbra {
namespace {

using testing::SessionRig;

TEST(SessionStart, StartsHelpersInOrderThenOpensTheSourceAndTheEncoder) {
  SessionRig rig;
  rig.settings.parent_pid = 42;
  rig.settings.audio = true;
  rig.settings.low = LowSettings{32, 18, 15, 300'000};
  rig.source.dies_at = rig.clock.now();
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.events, (std::vector<std::string>{"run", "watchdog 42", "stdin", "handshake", "audio",
                                                  "encoder thread 32x18", "preview writer", "open screen"}));
  ASSERT_EQ(rig.encoders.created, 1);
  EXPECT_EQ(rig.encoders.settings[0].width, 64u);
  EXPECT_EQ(rig.encoders.settings[0].height, 36u);
  EXPECT_EQ(rig.encoders.settings[0].fps, 30u);
  EXPECT_EQ(rig.encoders.settings[0].bitrate, 2'500'000u);
}

TEST(SessionStart, LeavesOutTheWatchdogAudioAndLowLayerWhenNotAskedFor) {
  SessionRig rig;
  rig.source.dies_at = rig.clock.now();
  EXPECT_EQ(rig.run(), kExitOrderly);
  EXPECT_EQ(rig.events, (std::vector<std::string>{"run", "stdin", "handshake", "preview writer", "open screen"}));
}

struct OpenCase {
  const char* name;
  bool screen;
  const char* primary_error;
  const char* fallback_error;
  int status;
  std::vector<std::string> lines;
  std::vector<std::string> opens;
};

class SessionOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(SessionOpen, FallsBackWithItsDiagnostics) {
  const OpenCase& c = GetParam();
  SessionRig rig;
  rig.settings.source = c.screen ? SourceSpec{} : SourceSpec{false, 777};
  rig.primary_error = c.primary_error;
  rig.fallback_error = c.fallback_error;
  rig.source.dies_at = rig.clock.now();
  rig.fallback_source.dies_at = rig.clock.now();
  EXPECT_EQ(rig.run(), c.status);
  EXPECT_EQ(rig.lines, c.lines);
  std::vector<std::string> opens;
  for (const std::string& e : rig.events) {
    if (e.starts_with("open")) opens.push_back(e);
  }
  EXPECT_EQ(opens, c.opens);
  // No encoder is made for a session that could not open a source.
  EXPECT_EQ(rig.encoders.create_attempts, c.status == kExitNoSource ? 0 : 1);
  EXPECT_TRUE(rig.messages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, SessionOpen,
    ::testing::Values(
        OpenCase{"ScreenOpens", true, "", "", 0, {}, {"open screen"}},
        OpenCase{"ScreenFallsBack", true, "E1 (0x80004001)", "", 0,
                 {"[capture] дубликация недоступна (E1 (0x80004001)) — GDI-фолбэк"},
                 {"open screen", "open screen fallback"}},
        OpenCase{"ScreenFails", true, "E1", "E2", 3,
                 {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"},
                 {"open screen", "open screen fallback"}},
        OpenCase{"WindowOpens", false, "", "", 0, {}, {"open window 777"}},
        OpenCase{"WindowFallsBack", false, "W1", "", 0,
                 {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"},
                 {"open window 777", "open window fallback 777"}},
        OpenCase{"WindowFails", false, "W1", "окно не существует", 3,
                 {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"},
                 {"open window 777", "open window fallback 777"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SessionStart, EncoderFailureAtStartEndsWithStatus2AndAnErrorObject) {
  SessionRig rig;
  rig.encoders.create_error = [](int) { return std::string("MFTEnumEx: \"нет\" \\ (0x80004005)"); };
  EXPECT_EQ(rig.run(), kExitNoEncoder);
  EXPECT_EQ(rig.lines, std::vector<std::string>{"[capture] энкодер: MFTEnumEx: \"нет\" \\ (0x80004005)"});
  const auto messages = rig.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, 1);
  EXPECT_EQ(messages[0].text(), R"j({"error":"MFTEnumEx: \"нет\" \\ (0x80004005)"})j");
  EXPECT_TRUE(rig.source.grabs.empty());
}

struct PathCase {
  const char* name;
  SourceKind kind;
  bool gpu_possible;
  bool gpu_off;
  bool with_low;
  bool gpu_used;
  std::vector<std::string> lines;
};

class SessionConversionPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(SessionConversionPath, UsesTheGpuOnlyForADuplicationThatAcceptsIt) {
  const PathCase& c = GetParam();
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
    ASSERT_FALSE(rig.encoders.encodes.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SessionConversionPath,
    ::testing::Values(
        PathCase{"Gpu", SourceKind::DesktopDuplication, true, false, false, true,
                 {"[capture] GPU-конверсия: 64×36 → 32×18 NV12"}},
        PathCase{"GpuWithLowLayer", SourceKind::DesktopDuplication, true, false, true, true,
                 {"[capture] GPU-конверсия: 64×36 → 32×18 NV12"}},
        PathCase{"GpuRefused", SourceKind::DesktopDuplication, false, false, false, false,
                 {"[capture] GPU-конверсия недоступна (нет GPU) — CPU-путь"}},
        PathCase{"GpuSwitchedOff", SourceKind::DesktopDuplication, true, true, false, false, {}},
        PathCase{"GdiScreen", SourceKind::GdiScreen, true, false, false, false, {}},
        PathCase{"Window", SourceKind::WgcCapture, true, false, false, false, {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SessionStart, RunsTheGpuCheckOnceOnTheFirstGpuFrame) {
  SessionRig rig;
  rig.source.kind = SourceKind::DesktopDuplication;
  rig.source.gpu_possible = true;
  rig.source.nv12.assign(64 * 36 * 3 / 2, 100);
  rig.env.push_back("NIMBRA_GPU_CHECK");
  rig.source.dies_at = rig.clock.now() + 1s;
  int checks = 0;
  SessionPorts ports = rig.ports();
  ports.gpu_check = [&](CaptureSource&, ByteView nv12, std::uint32_t w, std::uint32_t h) {
    ++checks;
    EXPECT_EQ(nv12.size(), 64u * 36 * 3 / 2);
    EXPECT_EQ(w, 64u);
    EXPECT_EQ(h, 36u);
  };
  CaptureSession session(rig.settings, std::move(ports));
  EXPECT_EQ(session.run(), kExitOrderly);
  EXPECT_EQ(checks, 1);
  EXPECT_GT(rig.source.grabs.size(), 20u);
}

}  // namespace
}  // namespace nimbra
