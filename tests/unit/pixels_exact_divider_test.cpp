#include <gtest/gtest.h>

#include <bit>

#include "pixels/exact_divider.h"

namespace nimbra {
namespace {

TEST(PixelsExactDivider, WordDividerIsExactUpToTheLargestDividend) {
  // Every divisor of a 16-bit area sum, every dividend it is checked for.
  for (std::uint32_t d = 2; d <= 257; ++d) {
    const std::uint32_t largest = 255 * d + d / 2;
    const WordDivider divide(d, largest);
    if (!divide.exact) continue;
    for (std::uint32_t n = 0; n <= largest; ++n) {
      ASSERT_EQ((n * divide.magic >> 16) >> divide.shift, n / d) << n << " / " << d;
    }
  }
}

TEST(PixelsExactDivider, LaneDividerIsExactBelowItsBitsAndRefusesMore) {
  // Divisors from 2 to past 2^20, powers of two among them; dividends just
  // below, at and above each multiple up to the largest.
  for (std::uint64_t d : {std::uint64_t{3}, std::uint64_t{16}, std::uint64_t{10928}, std::uint64_t{65537},
                          std::uint64_t{737737}, (std::uint64_t{1} << 20) + 7}) {
    const int bits = static_cast<int>(std::bit_width(255 * d + d / 2));
    const LaneDivider divide(d, bits);
    ASSERT_TRUE(divide.exact) << d;
    for (std::uint64_t k = 0; k <= 255; ++k) {
      for (std::uint64_t n : {k * d, k * d + d / 2, k * d + d - 1}) {
        const std::uint64_t q = divide.magic == 0 ? n >> divide.shift : (n * divide.magic) >> divide.shift;
        ASSERT_EQ(q, n / d) << n << " / " << d;
      }
    }
  }
  EXPECT_FALSE(LaneDivider(7, 31).exact);
}

}  // namespace
}  // namespace nimbra
