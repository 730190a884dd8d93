#pragma once
#include <cstdint>
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

}  // namespace nimbra
