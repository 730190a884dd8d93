#pragma once
// Shared by the pixel kernel tests: random pictures and a way to run a check
// once per instruction set this machine has.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pixels/simd_level.h"
#include "sys/bytes.h"

namespace nimbra::testing {

inline Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; i += 4) {
    const std::uint32_t r = rng();
    for (std::size_t k = 0; k < 4 && i + k < n; ++k) b[i + k] = static_cast<std::uint8_t>(r >> (8 * k));
  }
  return b;
}

// Random sizes lean small (every tail length) but reach past a few vectors.
inline std::uint32_t random_extent(std::mt19937& rng, std::uint32_t max) {
  std::uniform_int_distribution<std::uint32_t> pick(1, max);
  std::uniform_int_distribution<std::uint32_t> small(1, 40);
  return rng() % 2 ? small(rng) : pick(rng);
}

// Restores the detected level when the test ends, also on failure.
class ForcedSimdLevel {
 public:
  explicit ForcedSimdLevel(SimdLevel level) { force_simd_level(level); }
  ~ForcedSimdLevel() { force_simd_level(SimdLevel::avx2); }
  ForcedSimdLevel(const ForcedSimdLevel&) = delete;
  ForcedSimdLevel& operator=(const ForcedSimdLevel&) = delete;
};

inline std::vector<SimdLevel> available_levels() {
  std::vector<SimdLevel> levels{SimdLevel::scalar, SimdLevel::sse2};
  if (detected_simd_level() == SimdLevel::avx2) levels.push_back(SimdLevel::avx2);
  return levels;
}

inline std::string where(SimdLevel level, std::uint32_t w, std::uint32_t h) {
  return std::string(simd_level_name(level)) + " " + std::to_string(w) + "x" + std::to_string(h);
}

}  // namespace nimbra::testing
