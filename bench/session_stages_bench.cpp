// CPU time of each stage of one captured frame, on a private Xvfb showing
// desktop-like content (1920x1080 → 1280x720 main, 640x360 low layer), and
// the whole frame from grab to the written message. The whole session's CPU
// against ffmpeg doing the same job is measured by session_bench.py.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>

#include "capture/frame_digest.h"
#include "pixels/area_scale.h"
#include "pixels/area_scaler.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels/box_downscale.h"
#include "pixels/preview.h"
#include "platform/codecs.h"
#include "platform/linux/x11_image.h"
#include "platform/linux/x11_screen_source.h"
#include "wire/message_writer.h"
#include "xvfb.h"

namespace nimbra {
namespace {

constexpr std::uint32_t kSw = 1920, kSh = 1080, kW = 1280, kH = 720, kLw = 640, kLh = 360;

// A still background with a window of "text" whose lines scroll with `t`.
Bytes desktop(std::uint32_t w, std::uint32_t h, int t) {
  Bytes image(std::size_t{w} * h * 4);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t* p = &image[(std::size_t{y} * w + x) * 4];
      const bool in_window = x >= w / 8 && x < w * 5 / 8 && y >= h / 7 && y < h * 5 / 7;
      if (in_window) {
        const std::uint32_t line = (y + static_cast<std::uint32_t>(t) * 4) / 16;
        const bool ink = (y + t * 4) % 16 > 3 && (y + t * 4) % 16 < 13 && ((x / 8 + line * 7) % 11) < 8 && (x + y) % 3;
        p[0] = p[1] = p[2] = ink ? 0x20 : 0xF0;
      } else {
        p[0] = static_cast<std::uint8_t>(60 + x / 48);
        p[1] = 90;
        p[2] = static_cast<std::uint8_t>(120 + y / 30);
      }
      p[3] = 255;
    }
  }
  return image;
}

class DevNull final : public OutputStream {
 public:
  DevNull() : fd_(open("/dev/null", O_WRONLY)) {}
  ~DevNull() override { close(fd_); }
  Status write(ByteView bytes) override {
    if (::write(fd_, bytes.data(), bytes.size()) < 0) return fail("write");
    return {};
  }

 private:
  int fd_;
};

struct Screen {
  testing::Xvfb server{"1920x1080x24"};
  std::unique_ptr<platform::x11::Connection> connection;
  std::unique_ptr<platform::x11::ShmSegment> shm;
  Screen() {
    testing::Painter painter(server.display());
    painter.put(painter.root(), 0, 0, kSw, kSh, desktop(kSw, kSh, 0));
    connection = std::move(*platform::x11::Connection::open(server.display()));
  }
};

// Destroyed at the end of the run, which stops its X server.
Screen& screen() {
  static Screen s;
  return s;
}

std::vector<Bytes> scaled_frames() {
  std::vector<Bytes> frames;
  for (int t = 0; t < 30; ++t) {
    Bytes big = desktop(kSw, kSh, t), small(std::size_t{kW} * kH * 4);
    area_scale(big, kSw, kSh, small, kW, kH);
    frames.push_back(std::move(small));
  }
  return frames;
}

void BM_Grab(benchmark::State& state) {
  Screen& s = screen();
  const bool shared = state.range(0) != 0;
  Bytes plain;
  for (auto _ : state) {
    Result<ByteView> read = platform::x11::read_image(*s.connection, s.connection->root(), 0, 0, kSw, kSh,
                                                      shared ? &s.shm : nullptr, plain);
    if (!read) state.SkipWithError(read.error().c_str());
  }
}
BENCHMARK(BM_Grab)->ArgName("shm")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_AreaScale(benchmark::State& state) {
  const Bytes big = desktop(kSw, kSh, 0);
  Bytes small(std::size_t{kW} * kH * 4);
  AreaScaler scaler(kSw, kSh, kW, kH);  // the loop keeps one while the sizes stay
  for (auto _ : state) scaler.scale(big, small);
}
BENCHMARK(BM_AreaScale)->Unit(benchmark::kMillisecond);

void BM_Digest(benchmark::State& state) {
  const Bytes frame = scaled_frames()[0];
  for (auto _ : state) benchmark::DoNotOptimize(frame_digest(frame));
}
BENCHMARK(BM_Digest)->Unit(benchmark::kMillisecond);

void BM_Preview(benchmark::State& state) {
  const Bytes frame = scaled_frames()[0];
  Bytes preview(kPreviewBytes);
  for (auto _ : state) preview_from_bgra(frame, kW, kH, preview);
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMillisecond);

// Conversion and encoding of the main stream, as encode_bgra does both.
void BM_EncodeMain(benchmark::State& state) {
  const auto frames = scaled_frames();
  auto encoder = platform::create_h264_encoder({kW, kH, 30, 2'500'000});
  if (!encoder) return state.SkipWithError(encoder.error().c_str());
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize((*encoder)->encode_bgra(frames[i++ % frames.size()], kW, kH, false));
}
BENCHMARK(BM_EncodeMain)->Unit(benchmark::kMillisecond);

void BM_Convert(benchmark::State& state) {
  const Bytes frame = scaled_frames()[0];
  Bytes nv12(std::size_t{kW} * kH * 3 / 2);
  for (auto _ : state) bgra_to_nv12(frame, kW, kH, nv12);
}
BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond);

// One low frame: the loop's box downscale of the main frame into the buffer
// it hands over, then on the encoder thread the conversion and encoding.
void BM_LowFrame(benchmark::State& state) {
  const auto frames = scaled_frames();
  auto encoder = platform::create_h264_encoder({kLw, kLh, 15, 1'000'000});
  if (!encoder) return state.SkipWithError(encoder.error().c_str());
  Bytes handed(std::size_t{kLw} * kLh * 4);
  BoxScaler scaler(kW, kH, kLw, kLh);
  std::size_t i = 0;
  for (auto _ : state) {
    scaler.scale(frames[i++ % frames.size()], handed);
    bgra_to_nv12(handed, kLw, kLh, (*encoder)->staging());
    benchmark::DoNotOptimize((*encoder)->encode_staged(false));
  }
}
BENCHMARK(BM_LowFrame)->Unit(benchmark::kMillisecond);

void BM_WriteChunk(benchmark::State& state) {
  DevNull out;
  MessageWriter writer(out);
  const Bytes chunk(static_cast<std::size_t>(state.range(0)), 0x42);
  for (auto _ : state) writer.write(MessageKind::MainDelta, chunk);
}
BENCHMARK(BM_WriteChunk)->Arg(10'000)->Arg(921'600)->Unit(benchmark::kMicrosecond);

double thread_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// One main frame through the loop's CPU path: grab, scale, digest, convert,
// encode and write, with a change on screen before each: a 64x64 box (Arg 0)
// or the whole screen (Arg 1). The screen source reports the rows that
// changed, and only those are scaled, hashed and converted again. Counters: the CPU per
// frame of each stage and of all but the encoder (ms), and grab_to_write_ms,
// the wall time from the grabbed image to the message handed to the output.
void BM_MainFrame(benchmark::State& state) {
  Screen& s = screen();
  auto source = platform::x11::ScreenSource::open(s.server.display(), true);
  auto encoder = platform::create_h264_encoder({kW, kH, 30, 2'500'000});
  if (!source || !encoder) return state.SkipWithError("no source or encoder");
  DevNull out;
  MessageWriter writer(out);
  Bytes scaled(std::size_t{kW} * kH * 4);
  AreaScaler scaler(kSw, kSh, kW, kH);
  BandedDigest digest;
  testing::Painter painter(s.server.display());
  const Bytes box(64 * 64 * 4, 0x80);
  const Bytes screens[] = {desktop(kSw, kSh, 1), desktop(kSw, kSh, 2)};
  double latency = 0, stages[5] = {};  // grab, scale, digest, convert, encode
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();  // the change on screen is not the helper's work
    if (state.range(0) == 0) {
      painter.put(painter.root(), static_cast<std::int16_t>(400 + n % 600), 900, 64, 64, box);
    } else {
      painter.put(painter.root(), 0, 0, kSw, kSh, screens[n % 2]);
    }
    state.ResumeTiming();
    double lap = thread_cpu_ms();
    const auto stage_done = [&](int stage) {
      const double now = thread_cpu_ms();
      stages[stage] += now - lap;
      lap = now;
    };
    Result<std::optional<BgraFrame>> grabbed = (*source)->grab(1000);
    if (!grabbed || !*grabbed) return state.SkipWithError("no new image");
    stage_done(0);
    const auto grabbed_at = std::chrono::steady_clock::now();
    const RowSpan written = scaler.scale((*grabbed)->pixels, scaled, n == 0 ? RowSpan::all() : (*grabbed)->changed);
    stage_done(1);
    benchmark::DoNotOptimize(digest.update(scaled, kW * 4, written));
    stage_done(2);
    bgra_to_nv12(scaled, kW, kH, (*encoder)->staging(), written);
    stage_done(3);
    auto chunks = (*encoder)->encode_staged(false);
    for (const EncodedChunk& chunk : *chunks) writer.write(MessageKind::MainDelta, chunk.data);
    stage_done(4);
    latency += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - grabbed_at).count();
    ++n;
  }
  const double frames = std::max(n, 1);
  const char* names[] = {"grab_cpu_ms", "scale_cpu_ms", "digest_cpu_ms", "convert_cpu_ms", "encode_cpu_ms"};
  for (int i = 0; i < 5; ++i) state.counters[names[i]] = stages[i] / frames;
  state.counters["before_encoder_cpu_ms"] = (stages[0] + stages[1] + stages[2] + stages[3]) / frames;
  state.counters["grab_to_write_ms"] = latency / frames;
}
BENCHMARK(BM_MainFrame)->ArgName("whole_screen")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra
