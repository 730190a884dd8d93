#pragma once
// Exact floor(n / d) for a divisor fixed ahead of many divisions: one
// product and a shift instead of a division, with the constants for 16-bit
// (WordDivider) and 32-bit (LaneDivider) vector lanes.
#include <bit>
#include <cstdint>

namespace nimbra {

// floor(n / d) = (n * magic) >> (16 + shift), the 16-bit high product then a
// shift, for every n up to `largest` (below 2^16), with m = ceil(2^(16 +
// shift) / d) and the largest shift that keeps it within 16 bits: exact
// while n * (m * d - 2^(16 + shift)) < 2^(16 + shift), which `exact` checks
// for the largest n.
struct WordDivider {
  std::uint16_t magic = 0;
  int shift = 0;
  bool exact = false;

  WordDivider(std::uint32_t d, std::uint32_t largest) {
    for (int s = 15; s >= 0; --s) {
      const std::uint64_t scale = std::uint64_t{1} << (16 + s);
      const std::uint64_t m = (scale + d - 1) / d;
      if (m > 0xFFFF) continue;
      magic = static_cast<std::uint16_t>(m);
      shift = s;
      exact = std::uint64_t{largest} * (m * d - scale) < scale;
      return;
    }
  }
};

// floor(n / d) for every n below 2^bits, in 32-bit lanes: n >> shift when d
// is a power of two (magic 0), else (n * magic) >> shift with a 64-bit
// product, shift = bits + ceil(log2 d) and magic = ceil(2^shift / d): the
// product over 2^shift exceeds n / d by n * (magic * d - 2^shift) / (d 2^shift)
// < 1 / d, which never reaches the next whole number. magic stays below 2^31
// while bits <= 30; `exact` is false otherwise.
struct LaneDivider {
  std::uint32_t magic = 0;
  int shift = 0;
  bool exact = false;

  LaneDivider(std::uint64_t d, int bits) {
    if (d == 0 || bits > 30) return;
    exact = true;
    if ((d & (d - 1)) == 0) {
      shift = std::countr_zero(d);
      return;
    }
    shift = bits + static_cast<int>(std::bit_width(d - 1));
    magic = static_cast<std::uint32_t>(((std::uint64_t{1} << shift) + d - 1) / d);
  }
};

}  // namespace nimbra
