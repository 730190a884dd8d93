#include "pixels/simd_level.h"

#include <atomic>

namespace nimbra {
namespace {

SimdLevel detect() {
  // __builtin_cpu_supports also checks that the OS saves the YMM registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdLevel::avx2;
  if (__builtin_cpu_supports("ssse3")) return SimdLevel::ssse3;
  return SimdLevel::sse2;
}

std::atomic<SimdLevel>& active() {
  static std::atomic<SimdLevel> level{detected_simd_level()};
  return level;
}

}  // namespace

SimdLevel detected_simd_level() {
  static const SimdLevel level = detect();
  return level;
}

SimdLevel simd_level() { return active().load(std::memory_order_relaxed); }

void force_simd_level(SimdLevel level) {
  active().store(level < detected_simd_level() ? level : detected_simd_level(), std::memory_order_relaxed);
}

std::string_view simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::scalar: return "scalar";
    case SimdLevel::sse2: return "sse2";
    case SimdLevel::ssse3: return "ssse3";
    case SimdLevel::avx2: return "avx2";
  }
  return "?";
}

}  // namespace nimbra
