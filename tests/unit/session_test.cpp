// The capture loop as an orchestration, in virtual time. The rules it calls (pacing, skipping,
// encoder keeping, low feeding) have their own tests.
#include "capture/session.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "capture/gpu_check.h"
#include "fakes/session_rig.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels/box_downscale.h"
#include "pixels_support.h"

namespace nimbra {
namespace {

using testing::SessionRig;
using Lines = std::vector<std::string>;
using Frames = std::vector<int>;
constexpr Duration kFrame{33'333'333};

std::size_t nv12_size(Size s) { return std::size_t{s.width} * s.height * 3 / 2; }

// Frame indices (periods since the first encoder) of the encoded pictures.
Frames encoded_frames(const SessionRig& rig) {
  Frames frames;
  for (const auto& e : rig.encoders.encodes) frames.push_back(int((e.at - rig.encoders.created_at[0] + 1ms) / kFrame));
  return frames;
}

TEST(CaptureSession, StartsInOrderAndEndsWith3WithoutASourceOr2WithoutAnEncoder) {
  SessionRig rig;
  rig.settings.parent_pid = 42;
  rig.settings.audio = true;
  rig.settings.low = LowSettings{32, 18, 15, 300'000};
  rig.run_for(0ms);
  EXPECT_EQ(rig.events, (Lines{"run", "watchdog 42", "stdin", "handshake", "audio", "encoder thread 32x18",
                               "preview writer", "open screen"}));
  const EncoderSettings& s = rig.encoders.settings.at(0);
  EXPECT_EQ((std::vector{s.width, s.height, s.fps, s.bitrate}), (std::vector<std::uint32_t>{64, 36, 30, 2'500'000}));

  SessionRig window;  // no watchdog, audio or low layer unless asked for; the window cannot be opened
  window.settings.source = SourceSpec{false, 777};
  window.open_error = "E";
  EXPECT_EQ(window.run(), kExitNoSource);
  EXPECT_EQ(window.events, (Lines{"run", "stdin", "handshake", "preview writer", "open window 777",
                                  "open window fallback 777"}));
  EXPECT_EQ(window.encoders.create_attempts, 0);

  SessionRig no_encoder;
  no_encoder.encoders.create_error = [](int) { return std::string("MFTEnumEx: \"нет\""); };
  EXPECT_EQ(no_encoder.run(), kExitNoEncoder);
  EXPECT_EQ(no_encoder.lines, Lines{"[capture] энкодер: MFTEnumEx: \"нет\""});
  EXPECT_EQ(no_encoder.messages().at(0).text(), R"({"error":"MFTEnumEx: \"нет\""})");
  EXPECT_TRUE(no_encoder.source.grabs.empty());
}

TEST(CaptureSession, TakesTheGpuPathOnlyWhereTheSourceOffersItAndItCanBeEnabled) {
  const Lines used = {"[capture] GPU-конверсия: 64×36 → 32×18 NV12"};
  const std::tuple<const char*, bool, Lines> cases[] = {  // enabling's error, GPU off, lines
      {"", false, used},
      {"нет GPU", false, {"[capture] GPU-конверсия недоступна (нет GPU) — CPU-путь"}},
      {"", true, {}},
  };
  for (const auto& [error, gpu_off, lines] : cases) {
    SCOPED_TRACE(::testing::Message() << error << gpu_off);
    SessionRig rig;
    rig.settings.width = 32;
    rig.settings.height = 18;
    rig.source.offers_gpu = true;
    rig.source.gpu_error = error;
    rig.source.nv12.assign(nv12_size({32, 18}), 100);
    if (gpu_off) rig.env.push_back("NIMBRA_GPU_OFF");
    rig.run_for(100ms);
    EXPECT_EQ(rig.lines, lines);
    const bool on = lines == used;
    EXPECT_EQ(rig.source.grabs.at(0).gpu, on);
    if (on) {
      EXPECT_EQ(rig.source.gpu_second, std::nullopt);
      EXPECT_EQ(rig.encoders.encodes.at(0).digest, frame_digest(rig.source.nv12));
    }
  }
}

TEST(CaptureSession, RunsTheGpuCheckOnceAndLeavesAFailedGpuPathForGood) {
  SessionRig rig;
  rig.source.offers_gpu = true;
  rig.env.push_back("NIMBRA_GPU_CHECK");
  std::vector<std::size_t> checked;
  rig.gpu_check = [&](GpuConversion&, ByteView nv12, Size size) { checked.push_back(size == rig.source.size ? nv12.size() : 0); };
  // The converter drops itself after the tenth frame, as after a failed
  // conversion; a picture of the wrong size on the way is ignored, unpaced.
  rig.source.script = [&](std::size_t index) -> Result<bool> {
    rig.source.gpu_on = index < 10;
    rig.source.nv12.assign(nv12_size(rig.source.size) + (index == 5 ? 1 : 0), 1);
    return true;
  };
  rig.run_for(990ms);
  EXPECT_EQ(checked, std::vector<std::size_t>{nv12_size(rig.source.size)});
  ASSERT_EQ(rig.source.grabs.size(), 31u);
  for (std::size_t i = 0; i < 31; ++i) EXPECT_EQ(rig.source.grabs[i].gpu, i <= 10) << i;
}

TEST(CaptureSession, PacesSkipsUnchangedFramesAndEncodesWantedOnes) {
  SessionRig moving;  // a waiting source: only the pacer spaces its new images
  moving.source.waits = true;
  moving.make_every_frame_new();
  moving.run_for(990ms);
  Frames expected(31);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(encoded_frames(moving), expected);
  EXPECT_EQ(moving.source.grabs[0].wait_ms, 33u);
  EXPECT_TRUE(moving.previews->try_receive());

  SessionRig still;  // the same image every time; a low-layer key request at frame 100
  still.settings.low = LowSettings{32, 18, 30, 200'000};
  still.flags.low_enabled = true;
  still.clock.at(still.clock.now() + 100 * kFrame - 1ms, [&] { still.flags.low_key_request = true; });
  still.source.script = [&](std::size_t) -> Result<bool> { return still.low_frames->try_receive(), true; };
  still.run_for(150 * kFrame + 1ms);
  EXPECT_EQ(encoded_frames(still), (Frames{0, 61, 100}));  // and the count starts again at 100

  SessionRig empty;  // a source of no size: paced, nothing encoded
  empty.source.size = {0, 36};
  empty.run_for(990ms);
  EXPECT_TRUE(empty.encoders.encodes.empty());
  EXPECT_EQ(empty.source.grabs.size(), 30u);
}

TEST(CaptureSession, ScalesAWholeFirstPictureThenTheRowsTheSourceSaysChanged) {
  // The third picture, said and found unchanged, is skipped.
  SessionRig rig;
  std::mt19937 rng(5);
  rig.source.image = testing::random_bytes(rng, 64 * 36 * 4);
  const RowSpan changes[] = {{10, 11}, {10, 11}, {}, {20, 36}};
  std::vector<FrameDigest> expected, encoded;
  rig.source.script = [&](std::size_t index) -> Result<bool> {
    if (index >= std::size(changes)) return false;
    const RowSpan c = rig.source.changed = changes[index];
    const Bytes rows = testing::random_bytes(rng, (c.end - c.first) * 64 * 4);
    if (index > 0) std::ranges::copy(rows, rig.source.image.begin() + c.first * 64 * 4);
    Bytes nv12(nv12_size({64, 36}));
    bgra_to_nv12(rig.source.image, 64, 36, nv12);
    if (index != 2) expected.push_back(frame_digest(nv12));
    return true;
  };
  rig.run_for(10 * kFrame);
  for (const auto& e : rig.encoders.encodes) encoded.push_back(e.digest);
  EXPECT_EQ(encoded, expected);
}

TEST(CaptureSession, AKeyRequestReencodesAStillPictureAtOnce) {
  // A still screen whose grab waits, on the CPU or the GPU (its last picture converted again).
  for (const bool gpu : {false, true}) {
    SCOPED_TRACE(gpu);
    SessionRig rig;
    rig.source.waits = true;
    rig.source.offers_gpu = gpu;
    rig.source.nv12.assign(nv12_size(rig.source.size), 77);
    rig.source.script = [](std::size_t index) -> Result<bool> { return index == 0; };
    const Instant start = rig.clock.now();
    rig.clock.at(start + 3s, [&] { rig.flags.main_key_request = true; });
    rig.run_for(4s - 1ms);
    ASSERT_EQ(rig.encoders.encodes.size(), 2u);
    const auto& again = rig.encoders.encodes[1];
    EXPECT_LT(again.at - start - 3s, 40ms);
    EXPECT_EQ(again.digest, rig.encoders.encodes[0].digest);
    EXPECT_TRUE(again.force_key);
    EXPECT_EQ(rig.source.gpu_repeats, gpu ? 1 : 0);
    EXPECT_EQ(rig.messages(2).size(), 2u);
  }
}

TEST(CaptureSession, AKeyRequestThatMustWaitForANewEncoderHoldsTheLoop) {
  SessionRig rig;
  rig.make_every_frame_new();
  rig.encoders.force_key_supported = false;
  const Instant start = rig.clock.now();
  rig.clock.at(start + 1s, [&] { rig.flags.main_key_request = true; });
  rig.clock.at(start + 1500ms, [&] { rig.flags.main_key_request = true; });
  rig.run_for(5s);
  ASSERT_EQ(rig.encoders.created, 3);
  for (const auto& e : rig.encoders.encodes) EXPECT_FALSE(e.at > start + 1534ms && e.at < rig.encoders.created_at[2]);
  EXPECT_NEAR(std::ranges::count(rig.clock.sleeps, Duration(50ms)), 30, 1);

  SessionRig unmade;  // the new encoder cannot be made: an error object, no line
  unmade.encoders.force_key_supported = false;
  unmade.encoders.create_error = [](int attempt) { return std::string(attempt == 2 ? "нет" : ""); };
  unmade.clock.at(unmade.clock.now() + 100ms, [&] { unmade.flags.main_key_request = true; });
  EXPECT_EQ(unmade.run(), kExitOrderly);
  EXPECT_TRUE(unmade.lines.empty());
  EXPECT_EQ(unmade.messages(1).at(0).text(), R"({"error":"нет"})");
}

TEST(CaptureSession, AFailedEncodeAsksTheNewEncoderForAKeyFrameUntilTheBudgetIsSpent) {
  SessionRig rig;  // a still screen: every third encode fails
  rig.encoders.encode_error = [](std::size_t index) { return std::string(index % 3 == 1 ? "сбой" : ""); };
  rig.run_for(60s);
  EXPECT_EQ(rig.encoders.encode_calls, 17u);  // the sixth failure within a minute ends it
  // After each failure the next frame goes at once as a key frame, the one after it 61 frames later.
  EXPECT_EQ(encoded_frames(rig), (Frames{0, 62, 123, 185, 246, 308, 369, 431, 492, 554, 615}));
  for (std::size_t i = 0; i < rig.encoders.encodes.size(); ++i) EXPECT_EQ(rig.encoders.encodes[i].force_key, i % 2 == 1);
}

TEST(CaptureSession, EndsWhenFortyGrabsInARowFail) {
  SessionRig failing;
  failing.source.script = [](std::size_t index) -> Result<bool> {
    if (index == 39) return true;  // one success resets the count
    return fail("AcquireNextFrame: сбой");
  };
  EXPECT_EQ(failing.run(), kExitOrderly);
  EXPECT_EQ(failing.lines.size(), 79u);
  EXPECT_EQ(failing.source.grabs[1].at - failing.source.grabs[0].at, Duration(500ms));
}

TEST(CaptureSession, FeedsTheLowLayerWhileItIsOnFromEitherPath) {
  for (const bool gpu : {false, true}) {
    SCOPED_TRACE(gpu);
    SessionRig rig;  // 30 fps of new images; a 15 fps layer whose thread keeps up but for a stall
    rig.settings.low = LowSettings{32, 18, 15, 200'000};
    rig.source.offers_gpu = gpu;
    rig.source.nv12.assign(nv12_size(rig.source.size), 90);
    rig.source.low_nv12.assign(nv12_size({32, 18}), 70);
    rig.make_every_frame_new();
    std::vector<LowFrame> handed;
    Bytes first_image;  // the source image behind the first frame handed over
    const Instant start = rig.clock.now();
    rig.source.script = [&, base = rig.source.script](std::size_t index) {
      const bool stalled = rig.clock.now() >= start + 1500ms && rig.clock.now() < start + 2s;
      while (auto frame = stalled ? std::nullopt : rig.low_frames->try_receive()) {
        if (handed.empty()) first_image = rig.source.image;
        handed.push_back(*frame);
        (void)rig.low_returns->try_send(std::move(frame->pixels));
      }
      Result<bool> grabbed = base(index);
      std::iota(rig.source.image.begin(), rig.source.image.end(), static_cast<std::uint8_t>(index * 7));
      return grabbed;
    };
    rig.clock.at(start + 1s, [&] { rig.flags.low_enabled = rig.flags.low_key_request = true; });  // command 11
    rig.clock.at(start + 1600ms, [&] { rig.flags.low_key_request = true; });  // waits out the stall
    rig.clock.at(start + 3s, [&] { rig.flags.low_enabled = false; });         // command 12
    rig.run_for(4s);
    ASSERT_EQ(handed.size(), 23u);  // two seconds of a 15 fps layer but for the stall
    EXPECT_EQ(std::ranges::count(handed, true, &LowFrame::key_request), 2);
    EXPECT_EQ(rig.source.gpu_second, gpu ? std::optional<Size>(Size{32, 18}) : std::nullopt);
    // The CPU path hands over the main picture box-scaled to the low size, the GPU path its second output.
    Bytes expected = rig.source.low_nv12;
    if (!gpu) {
      for (std::size_t i = 3; i < first_image.size(); i += 4) first_image[i] = 255;
      expected.resize(32 * 18 * 4);
      box_downscale_reference(first_image, 64, 36, expected, 32, 18);
    }
    const LowFrame& first = handed.front();
    EXPECT_EQ(std::tuple(first.width, first.height, first.pixels), std::tuple(32u, 18u, expected));
    for (const auto& grab : rig.source.grabs) EXPECT_EQ(grab.second, gpu && grab.at >= start + 1s && grab.at < start + 3s);
  }
}

TEST(GpuCheck, ReportsHowFarTheGpuPictureLiesFromTheCpuPipeline) {
  // An 8x6 image of 2x3 grey blocks: at 4x2 each block becomes one pixel of
  // its grey exactly, so the CPU picture is known (greys have U = V = 128).
  const std::uint8_t greys[] = {0, 128, 255, 96, 96, 255, 128, 0};
  Bytes image;
  for (int i = 0; i < 48; ++i) image.insert(image.end(), 3, greys[i / 24 * 4 + i % 8 / 2]), image.push_back(255);
  const Bytes same = {16, 126, 235, 99, 99, 235, 126, 16, 128, 128, 128, 128};
  Bytes off = same;
  off[0] = 19;  // 3 codes: over 2, in the very first pair
  off[5] = 234;
  off[9] = 130;  // 2 codes: not over 2
  const std::tuple<Bytes, Bytes, const char*> cases[] = {
      {image, same, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.000 макс 0 >2: 0.000% | UV откл. ср 0.000 макс 0 >2: 0.000%"},
      {image, off, "[gpu-check] 8×6 → 4×2: Y откл. ср 0.500 макс 3 >2: 12.500% | UV откл. ср 0.500 макс 2 >2: 0.000%"},
      {{}, same, "[gpu-check] нет GPU-кадра"},
  };
  for (const auto& [read_back, nv12, line] : cases) {
    testing::FakeClock clock;
    testing::FakeSourceState state;
    state.size = {8, 6};
    state.read_back = read_back;
    testing::FakeSource gpu(state, clock);
    std::vector<std::string> lines;
    gpu_check(gpu, nv12, {4, 2}, [&](std::string_view l) { lines.emplace_back(l); });
    EXPECT_EQ(lines, std::vector<std::string>{line});
  }
}

}  // namespace
}  // namespace nimbra
