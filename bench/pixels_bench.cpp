// Each pixel kernel beside libyuv's nearest counterpart, at the sizes the
// capture and watch paths meet. libyuv does not produce the same bytes; it
// is the speed to beat. The closing table gives libyuv's time over ours:
// above 1.0 means the kernel is faster. For the scaling rows it also gives
// the time merely to read the source once ("read ms"): an exact average
// reads every source byte, while libyuv's ARGB box filter at some ratios
// reads only some rows, and can then come in below that floor.
//
// With --fresh every run reads a source that is not in the cache, as each
// captured frame is: the runs take turns over sources that together exceed
// the processor's last-level cache.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pixels/area_scaler.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels/box_downscale.h"
#include "pixels/nv12_to_rgba.h"
#include "pixels/simd_level.h"

namespace nimbra {
namespace {

Bytes noise(std::size_t n) {
  std::mt19937 rng(7);
  Bytes b(n);
  for (auto& v : b) v = static_cast<std::uint8_t>(rng());
  return b;
}

bool g_fresh = false;

// One source, or with --fresh enough of them to pass 96 MB, taken in turn.
class Sources {
 public:
  explicit Sources(std::size_t bytes) : list_(g_fresh ? 96 * (std::size_t{1} << 20) / bytes + 2 : 1, noise(bytes)) {}
  const Bytes& next() { return list_[turn_++ % list_.size()]; }

 private:
  std::vector<Bytes> list_;
  std::size_t turn_ = 0;
};

struct Dims {
  int sw, sh, tw, th;
};

std::string size_label(const Dims& d) {
  std::string s = std::to_string(d.sw) + "x" + std::to_string(d.sh);
  if (d.tw != d.sw || d.th != d.sh) s += "->" + std::to_string(d.tw) + "x" + std::to_string(d.th);
  return s;
}

void bgra_to_nv12_ours(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * d.sh * 4);
  Bytes dst(nv12_size(d.sw, d.sh));
  for (auto _ : state) {
    bgra_to_nv12(sources.next(), d.sw, d.sh, dst);
    benchmark::DoNotOptimize(dst.data());
  }
}

void bgra_to_nv12_libyuv(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * d.sh * 4);
  Bytes dst(nv12_size(d.sw, d.sh));
  for (auto _ : state) {
    libyuv::ARGBToNV12(sources.next().data(), d.sw * 4, dst.data(), d.sw, dst.data() + std::size_t(d.sw) * d.sh, d.sw, d.sw,
                       d.sh);
    benchmark::DoNotOptimize(dst.data());
  }
}

// The capture loop keeps one AreaScaler, the encoder thread one BoxScaler,
// while the sizes stay the same.
template <class Scaler>
void scale_ours(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * d.sh * 4);
  Bytes dst(std::size_t(d.tw) * d.th * 4);
  Scaler scaler(d.sw, d.sh, d.tw, d.th);
  for (auto _ : state) {
    scaler.scale(sources.next(), dst);
    benchmark::DoNotOptimize(dst.data());
  }
}

void scale_libyuv(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * d.sh * 4);
  Bytes dst(std::size_t(d.tw) * d.th * 4);
  for (auto _ : state) {
    libyuv::ARGBScale(sources.next().data(), d.sw * 4, d.sw, d.sh, dst.data(), d.tw * 4, d.tw, d.th, libyuv::kFilterBox);
    benchmark::DoNotOptimize(dst.data());
  }
}

// Every byte of the source read once, summed so that it cannot be skipped.
void read_source(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * d.sh * 4);
  for (auto _ : state) {
    const Bytes& src = sources.next();
    std::uint64_t sum[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i + 32 <= src.size(); i += 32) {
      for (int k = 0; k < 4; ++k) {
        std::uint64_t v;
        std::memcpy(&v, src.data() + i + 8 * k, 8);
        sum[k] += v;
      }
    }
    benchmark::DoNotOptimize(sum[0] + sum[1] + sum[2] + sum[3]);
  }
}

// Decoder-shaped input: 16-row aligned coded height, stride = width.
std::uint32_t coded_rows(int h) { return static_cast<std::uint32_t>((h + 15) / 16 * 16); }

void nv12_to_rgba_ours(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * coded_rows(d.sh) * 3 / 2);
  Bytes dst;
  for (auto _ : state) {
    if (!nv12_to_rgba(sources.next(), d.sw, d.sh, d.sw, dst)) state.SkipWithError("layout refused");
    benchmark::DoNotOptimize(dst.data());
  }
}

void nv12_to_rgba_libyuv(benchmark::State& state, Dims d) {
  Sources sources(std::size_t(d.sw) * coded_rows(d.sh) * 3 / 2);
  Bytes dst(std::size_t(d.sw) * d.sh * 4);
  for (auto _ : state) {
    const Bytes& src = sources.next();
    libyuv::NV12ToABGR(src.data(), d.sw, src.data() + std::size_t(d.sw) * coded_rows(d.sh), d.sw, dst.data(),
                       d.sw * 4, d.sw, d.sh);
    benchmark::DoNotOptimize(dst.data());
  }
}

using Fn = void (*)(benchmark::State&, Dims);

struct Pair {
  std::string kernel;
  Dims dims;
  Fn ours, theirs;
};

// Every scaling shape the capture path meets: the 2:1 and 3:2 fast paths,
// whole blocks (3:1, 4:1), general ratios of screens and an odd window size.
const Dims kScaleSizes[] = {{1920, 1080, 1280, 720}, {2560, 1440, 1280, 720}, {1280, 720, 640, 360},
                            {1920, 1080, 640, 360},  {2560, 1440, 640, 360},  {2560, 1440, 1920, 1080},
                            {1366, 768, 1280, 720},  {1001, 737, 640, 360}};

const std::vector<Pair>& pairs() {
  static const std::vector<Pair> list = [] {
    std::vector<Pair> l;
    for (const Dims d : {Dims{1920, 1080, 1920, 1080}, {1280, 720, 1280, 720}, {640, 360, 640, 360}}) {
      l.push_back({"bgra_to_nv12", d, bgra_to_nv12_ours, bgra_to_nv12_libyuv});
    }
    for (const Dims& d : kScaleSizes) l.push_back({"area_scale", d, scale_ours<AreaScaler>, scale_libyuv});
    for (const Dims d : {Dims{1280, 720, 1280, 720}, {1920, 1080, 1920, 1080}}) {
      l.push_back({"nv12_to_rgba", d, nv12_to_rgba_ours, nv12_to_rgba_libyuv});
    }
    for (const Dims& d : kScaleSizes) l.push_back({"box_downscale", d, scale_ours<BoxScaler>, scale_libyuv});
    return l;
  }();
  return list;
}

// Keeps each benchmark's fastest repetition (CPU time per frame) for the
// closing table: on a shared machine other processes only ever add time, so
// the minimum is the steadiest estimate of a kernel's own cost.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool fastest = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
      if (fastest || (run.run_type == Run::RT_Iteration && !ms_.contains(run.run_name.function_name))) {
        ms_[run.run_name.function_name] = run.GetAdjustedCPUTime();  // in the unit set below: ms
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ms(const std::string& name) const {
    const auto it = ms_.find(name);
    return it == ms_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> ms_;
};

}  // namespace
}  // namespace nimbra

int main(int argc, char** argv) {
  using namespace nimbra;
  // --ssse3: as on a processor without AVX (SSE4.2 at most), our SSSE3
  // rows against libyuv's SSSE3 and SSE4.1 ones. --sse2: as on one without
  // SSSE3, both sides at SSE2. --fresh: sources out of the cache.
  for (; argc > 1; argv[1] = argv[0], ++argv, --argc) {
    const std::string flag = argv[1];
    if (flag == "--fresh") {
      g_fresh = true;
    } else if (flag == "--ssse3" || flag == "--sse2") {
      const bool ssse3 = flag == "--ssse3";
      force_simd_level(ssse3 ? SimdLevel::ssse3 : SimdLevel::sse2);
      libyuv::MaskCpuFlags(libyuv::kCpuHasX86 | libyuv::kCpuHasSSE2 |
                           (ssse3 ? libyuv::kCpuHasSSSE3 | libyuv::kCpuHasSSE41 | libyuv::kCpuHasSSE42 : 0));
    } else {
      break;
    }
  }
  for (const Pair& p : pairs()) {
    const std::string label = p.kernel + "/" + size_label(p.dims);
    for (const auto& [who, fn] : {std::pair{"ours/", p.ours}, {"libyuv/", p.theirs}}) {
      benchmark::RegisterBenchmark((who + label).c_str(), fn, p.dims)
          ->Unit(benchmark::kMillisecond)
          ->MinTime(0.1)
          ->Repetitions(7)
          ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
          ->ReportAggregatesOnly(true);
    }
  }
  for (const Dims& d : kScaleSizes) {
    benchmark::RegisterBenchmark(("read/" + size_label(d)).c_str(), read_source, d)
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.1)
        ->Repetitions(7)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ReportAggregatesOnly(true);
  }
  benchmark::Initialize(&argc, argv);
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nkernels: %s%s\n", std::string(simd_level_name(simd_level())).c_str(),
              g_fresh ? ", sources out of the cache" : "");
  std::printf("%-14s %-22s %10s %10s %11s %10s\n", "kernel", "size", "ours ms", "libyuv ms", "libyuv/ours",
              "read ms");
  for (const Pair& p : pairs()) {
    const std::string label = p.kernel + "/" + size_label(p.dims);
    const double ours = reporter.ms("ours/" + label), theirs = reporter.ms("libyuv/" + label);
    if (ours <= 0 || theirs <= 0) continue;
    const double read = reporter.ms("read/" + size_label(p.dims));
    std::printf("%-14s %-22s %10.4f %10.4f %11.2f", p.kernel.c_str(), size_label(p.dims).c_str(), ours, theirs,
                theirs / ours);
    if (read > 0 && p.dims.tw != p.dims.sw) std::printf(" %10.4f", read);
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
