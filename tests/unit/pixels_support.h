#pragma once
// Shared by the pixel kernel tests: random pictures and a way to run a check
// once per instruction set this machine has.
#include <gtest/gtest.h>

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

// Bytes of 0 and 255 only: the sums and products of the kernels at their limits.
inline Bytes extreme_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b = random_bytes(rng, n);
  for (std::uint8_t& v : b) v = v & 1 ? 255 : 0;
  return b;
}

// `count` copies of one pixel.
inline Bytes repeated(std::initializer_list<std::uint8_t> pixel, std::size_t count) {
  Bytes b;
  for (std::size_t i = 0; i < count; ++i) b.insert(b.end(), pixel);
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
  std::vector<SimdLevel> levels;
  for (SimdLevel level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::ssse3, SimdLevel::avx2}) {
    if (level <= detected_simd_level()) levels.push_back(level);
  }
  return levels;
}

inline std::string where(SimdLevel level, std::uint32_t w, std::uint32_t h) {
  return std::string(simd_level_name(level)) + " " + std::to_string(w) + "x" + std::to_string(h);
}

struct Sizes {
  std::uint32_t src_width, src_height, dst_width, dst_height;
};

inline std::string where(SimdLevel level, const Sizes& s) {
  return where(level, s.src_width, s.src_height) + " -> " + std::to_string(s.dst_width) + "x" +
         std::to_string(s.dst_height);
}

// Sizes of every shape a scaler picks, reaching each vector tail: any ratio either way, 2:1, 3:2, 4:3, k:1 for
// k = 1..17 (past the 16-bit sums at 16), whole ratios that differ per axis, extreme ratios, capture sizes, and ratios
// whose area sums need floats (1920 -> 1366; 541 -> 100 in windows of four pixels), 32 bits (257 -> 250 by
// 261 -> 254), whose box sums pass 2^15 (2570 -> 10) or whose box spans pass 257 pixels (300 x 20 -> 1). Sources of
// 131 rows keep the column pass first: 32-bit sums of 16-bit lines, floats and 32-bit lines in windows of four pixels;
// so does a source too narrow for windows (130 -> 1, float quotients). Scaled up, their rows weigh too much for byte
// weights (131 -> 200).
inline std::vector<Sizes> scaling_sizes(std::mt19937& rng) {
  std::vector<Sizes> sizes;
  for (int i = 0; i < 400; ++i) {
    sizes.push_back({random_extent(rng, 90), random_extent(rng, 30), random_extent(rng, 90), random_extent(rng, 30)});
  }
  for (int i = 0; i < 150; ++i) {
    const std::uint32_t w = random_extent(rng, 100), h = random_extent(rng, 6);
    sizes.push_back({2 * w, 2 * h, w, h});
    sizes.push_back({3 * w, 3 * h, 2 * w, 2 * h});
    sizes.push_back({4 * w, 4 * h, 3 * w, 3 * h});
  }
  for (std::uint32_t k = 1; k <= 17; ++k) {
    for (std::uint32_t w : {random_extent(rng, 40), 9 + random_extent(rng, 40)}) {
      const std::uint32_t h = random_extent(rng, 3);
      sizes.push_back({k * w, k * h, w, h});
    }
  }
  for (const Sizes& s : {Sizes{30, 8, 10, 4}, {40, 9, 20, 6}, {36, 12, 12, 6}, {3840, 2, 160, 1}, {1, 1, 300, 7},
                         {1, 40, 1, 1}, {2, 3, 97, 61}, {1920, 8, 1366, 5}, {7, 1, 1920, 1}, {257, 261, 250, 254},
                         {300, 20, 1, 1}, {1920, 1080, 1280, 720}, {541, 2, 100, 1}, {2570, 1, 10, 1},
                         {100, 131, 30, 3}, {300, 131, 7, 3}, {541, 131, 100, 3}, {130, 8, 1, 5},
                         {16, 131, 16, 200}, {100, 131, 30, 200}}) {
    sizes.push_back(s);
  }
  return sizes;
}

// Holds a scaler (AreaScaler, BoxScaler) to `reference` at every scaling size on every instruction set. Two frames go
// through each scaler, so nothing may leak from the first into the second; every fifth size is made of 0 and 255
// only, the limits of the sums.
template <class Scaler, class Reference>
void expect_scaler_matches_reference(std::uint32_t seed, Reference reference) {
  std::mt19937 rng(seed);
  const std::vector<Sizes> sizes = scaling_sizes(rng);
  for (SimdLevel level : available_levels()) {
    ForcedSimdLevel forced(level);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const Sizes& s = sizes[i];
      Scaler scaler(s.src_width, s.src_height, s.dst_width, s.dst_height);
      for (int frame = 0; frame < 2; ++frame) {
        const std::size_t n = std::size_t{s.src_width} * s.src_height * 4;
        const Bytes src = i % 5 == 4 ? extreme_bytes(rng, n) : random_bytes(rng, n);
        Bytes expected(std::size_t{s.dst_width} * s.dst_height * 4, 0xEE), got(expected);
        reference(src, s.src_width, s.src_height, expected, s.dst_width, s.dst_height);
        scaler.scale(src, got);
        ASSERT_EQ(got, expected) << where(level, s) << " frame " << frame;
      }
    }
  }
}

// A scaler knows the sizes it was built for, and writes nothing when a size
// is 0 or a buffer is one byte shorter than 10 x 6 -> 4 x 3 needs.
template <class Scaler>
void expect_scaler_keeps_to_its_sizes() {
  const Scaler scaler(10, 6, 4, 3);
  EXPECT_TRUE(scaler.has_sizes(10, 6, 4, 3));
  for (const Sizes& s : {Sizes{11, 6, 4, 3}, Sizes{10, 7, 4, 3}, Sizes{10, 6, 5, 3}, Sizes{10, 6, 4, 2}}) {
    EXPECT_FALSE(scaler.has_sizes(s.src_width, s.src_height, s.dst_width, s.dst_height));
  }
  struct Case {
    Sizes sizes;
    std::size_t src_bytes, dst_bytes;
  };
  const Case cases[] = {{{10, 6, 4, 3}, 239, 48}, {{10, 6, 4, 3}, 240, 47}, {{0, 6, 4, 3}, 240, 48},
                        {{10, 0, 4, 3}, 240, 48}, {{10, 6, 0, 3}, 240, 48}, {{10, 6, 4, 0}, 240, 48}};
  for (const Case& c : cases) {
    Bytes dst(c.dst_bytes, 0x33);
    Scaler sized(c.sizes.src_width, c.sizes.src_height, c.sizes.dst_width, c.sizes.dst_height);
    sized.scale(Bytes(c.src_bytes, 9), dst);
    EXPECT_EQ(dst, Bytes(c.dst_bytes, 0x33)) << "row " << &c - cases;
  }
}

}  // namespace nimbra::testing
