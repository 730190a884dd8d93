#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace nimbra {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

struct Size {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

}  // namespace nimbra
