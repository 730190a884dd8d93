#include "capture/gpu_check.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "pixels/area_scale.h"
#include "pixels/bgra_to_nv12.h"

namespace nimbra {
namespace {

struct PlaneDifference {
  double mean = 0;
  int max = 0;
  double over_two_percent = 0;
};

// Pairs stop at the shorter plane; the divisor is the GPU plane's length.
PlaneDifference compare(ByteView gpu, ByteView cpu) {
  const std::size_t pairs = std::min(gpu.size(), cpu.size());
  std::uint64_t sum = 0, over_two = 0;
  PlaneDifference result;
  for (std::size_t i = 0; i < pairs; ++i) {
    const int difference = std::abs(int{gpu[i]} - int{cpu[i]});
    sum += static_cast<std::uint64_t>(difference);
    result.max = std::max(result.max, difference);
    over_two += difference > 2 ? 1 : 0;
  }
  const double count = static_cast<double>(std::max<std::size_t>(gpu.size(), 1));
  result.mean = static_cast<double>(sum) / count;
  result.over_two_percent = static_cast<double>(over_two) * 100.0 / count;
  return result;
}

}  // namespace

void gpu_check(GpuConversion& gpu, ByteView nv12, Size size, const DiagnosticSink& diagnostic) {
  const Size source = gpu.source_size();
  Bytes bgra(std::size_t{source.width} * source.height * 4);
  if (Status read = gpu.read_back_bgra(bgra); !read) {
    diagnostic("[gpu-check] " + read.error());
    return;
  }
  const std::size_t pixels = std::size_t{size.width} * size.height;
  Bytes scaled(pixels * 4), cpu(nv12_size(size.width, size.height));
  area_scale(bgra, source.width, source.height, scaled, size.width, size.height);
  bgra_to_nv12(scaled, size.width, size.height, cpu);

  const std::size_t gpu_luma = std::min(pixels, nv12.size());
  const PlaneDifference y = compare(nv12.first(gpu_luma), ByteView(cpu).first(pixels));
  const PlaneDifference uv = compare(nv12.subspan(gpu_luma), ByteView(cpu).subspan(pixels));
  char line[256];
  std::snprintf(line, sizeof line,
                "[gpu-check] %u×%u → %u×%u: Y откл. ср %.3f макс %d >2: %.3f%% | UV откл. ср %.3f макс %d >2: %.3f%%",
                source.width, source.height, size.width, size.height, y.mean, y.max, y.over_two_percent, uv.mean,
                uv.max, uv.over_two_percent);
  diagnostic(line);
}

}  // namespace nimbra
