#pragma once
// Exact floor(n / d) for a divisor fixed ahead of many divisions: one
// 64 x 64 -> 128-bit product and a shift instead of a division, where the
// largest dividend allows it; plain division otherwise.
#include <bit>
#include <cstdint>

namespace nimbra {

class ExactDivider {
 public:
  // `limit`: the largest n that will be divided.
  ExactDivider(std::uint64_t d, std::uint64_t limit) : d_(d) {
    if (d != 0 && (d & (d - 1)) == 0) {
      shift_ = std::countr_zero(d);
      return;
    }
    // With m = ceil(2^64 / d) = (2^64 + e) / d, 0 <= e < d, the product n m
    // over 2^64 is n / d + n e / (d 2^64): it stays below the next multiple
    // of 1 / d (so the floor is exact) as long as n e < 2^64, which n d < 2^64
    // guarantees.
    if (Wide{limit} * d < (Wide{1} << 64)) magic_ = ~std::uint64_t{0} / d + 1;
  }

  // log2 d when d is a power of two, else -1.
  int shift() const { return shift_; }
  // ceil(2^64 / d) when the one-multiply form applies, else 0.
  std::uint64_t magic() const { return magic_; }

  std::uint64_t operator()(std::uint64_t n) const {
    if (shift_ >= 0) return n >> shift_;
    if (magic_ != 0) return static_cast<std::uint64_t>((Wide{n} * magic_) >> 64);
    return n / d_;
  }

 private:
  __extension__ using Wide = unsigned __int128;

  std::uint64_t d_;
  int shift_ = -1;           // d is 2^shift_
  std::uint64_t magic_ = 0;  // 0: plain division
};

}  // namespace nimbra
