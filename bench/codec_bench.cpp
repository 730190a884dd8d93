// Encode time per frame, and watch mode's decode + RGBA conversion per frame
// beside a bare libavcodec decode of the same stream (the floor it can reach).
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstring>

#include "platform/codecs.h"
#include "synthetic_video.h"

namespace nimbra {
namespace {

constexpr int kFrames = 60;  // one key-frame interval at 30 fps

std::vector<Bytes> pictures(std::uint32_t w, std::uint32_t h) {
  std::vector<Bytes> out;
  for (int t = 0; t < kFrames; ++t) out.push_back(test::synthetic_nv12(w, h, t));
  return out;
}

// One interval of access units, starting with an IDR, so decoding can loop.
std::vector<Bytes> access_units(std::uint32_t w, std::uint32_t h, std::uint32_t bitrate) {
  auto encoder = platform::create_h264_encoder({w, h, 30, bitrate});
  std::vector<Bytes> units;
  for (const Bytes& p : pictures(w, h)) {
    auto chunks = (*encoder)->encode_nv12(p, false);
    units.push_back(chunks->front().data);
  }
  return units;
}

void BM_Encode(benchmark::State& state) {
  const auto w = static_cast<std::uint32_t>(state.range(0)), h = static_cast<std::uint32_t>(state.range(1));
  const auto source = pictures(w, h);
  auto encoder = platform::create_h264_encoder({w, h, 30, w >= 1280 ? 2'500'000u : 1'000'000u});
  if (!encoder) {
    state.SkipWithError(encoder.error().c_str());
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    auto chunks = (*encoder)->encode_nv12(source[i++ % source.size()], false);
    benchmark::DoNotOptimize(chunks);
  }
  state.counters["of_frame_period"] = benchmark::Counter(
      static_cast<double>(state.iterations()) / 30.0, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_WatchDecode(benchmark::State& state) {
  const auto w = static_cast<std::uint32_t>(state.range(0)), h = static_cast<std::uint32_t>(state.range(1));
  const auto units = access_units(w, h, 4'000'000);
  auto decoder = platform::open_h264_decoder({{w, h}});
  if (!decoder) {
    state.SkipWithError(decoder.error().c_str());
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    auto out = (*decoder)->decode(units[i++ % units.size()]);
    benchmark::DoNotOptimize(out);
  }
}

// The reference: libavcodec alone, no packing and no RGBA conversion.
void BM_BareAvcodecDecode(benchmark::State& state) {
  const auto w = static_cast<std::uint32_t>(state.range(0)), h = static_cast<std::uint32_t>(state.range(1));
  const auto units = access_units(w, h, 4'000'000);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 1;
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::size_t i = 0;
  for (auto _ : state) {
    const Bytes& unit = units[i++ % units.size()];
    av_new_packet(packet, static_cast<int>(unit.size()));
    std::memcpy(packet->data, unit.data(), unit.size());
    avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    while (avcodec_receive_frame(context, frame) == 0) av_frame_unref(frame);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

BENCHMARK(BM_Encode)->Args({1280, 720})->Args({640, 360})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WatchDecode)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareAvcodecDecode)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra
