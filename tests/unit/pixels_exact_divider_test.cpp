#include <gtest/gtest.h>

#include <random>

#include "pixels/exact_divider.h"

namespace nimbra {
namespace {

TEST(PixelsExactDivider, DividesExactlyUpToItsLimit) {
  // Divisors for each form (shift, one multiply, plain division), near the
  // product bound of the one-multiply form and beyond it; dividends just
  // below each multiple, where a rounding error would show first.
  std::mt19937_64 rng(36);
  for (std::uint64_t d : {std::uint64_t{3}, std::uint64_t{9}, std::uint64_t{1} << 20, (std::uint64_t{1} << 28) - 3,
                          std::uint64_t{4294836225}, std::uint64_t{1} << 40, (std::uint64_t{1} << 40) + 1}) {
    const std::uint64_t limit = d * 256;
    const ExactDivider divide(d, limit);
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t n = i < 1000 ? (rng() % 256) * d + d - 1 - (i % 3) : rng() % limit;
      ASSERT_EQ(divide(n), n / d) << n << " / " << d;
    }
  }
}

}  // namespace
}  // namespace nimbra
