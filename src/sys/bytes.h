#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace nimbra {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// The unsigned number that up to four bytes spell, most significant first.
inline std::uint32_t big_endian_value(ByteView bytes) {
  std::uint32_t value = 0;
  for (const std::uint8_t b : bytes) value = value << 8 | b;
  return value;
}

struct Size {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// Rows [first, end) of an image; all() reaches past any image's last row.
struct RowSpan {
  std::uint32_t first = 0;
  std::uint32_t end = 0;
  static constexpr RowSpan all() { return {0, std::numeric_limits<std::uint32_t>::max()}; }
  bool empty() const { return first >= end; }
  // The least span holding both.
  RowSpan joined(RowSpan other) const {
    if (empty()) return other;
    if (other.empty()) return *this;
    return {std::min(first, other.first), std::max(end, other.end)};
  }
  friend bool operator==(const RowSpan&, const RowSpan&) = default;
};

}  // namespace nimbra
