#pragma once
// Row kernels of bgra_to_nv12. A kernel converts one pair of source rows
// (the same row twice for an odd last row) into two luma rows and one chroma
// row, as many whole vector steps as fit into `width`, and returns how many
// pixels it did (an even count); the caller finishes the rest one pixel pair
// at a time with the scalar helpers below.
#include <cstddef>
#include <cstdint>

namespace nimbra::detail {

using Nv12RowPair = std::size_t (*)(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                    std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);

std::size_t bgra_to_nv12_rows_sse2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);
std::size_t bgra_to_nv12_rows_avx2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);

inline std::uint8_t luma_of(const std::uint8_t* bgra) {
  return static_cast<std::uint8_t>(((66 * bgra[2] + 129 * bgra[1] + 25 * bgra[0] + 128) >> 8) + 16);
}

// a0, a1 from the upper row, b0, b1 from the lower one.
inline void chroma_of(const std::uint8_t* a0, const std::uint8_t* a1, const std::uint8_t* b0,
                      const std::uint8_t* b1, std::uint8_t* uv) {
  const int b = (a0[0] + a1[0] + b0[0] + b1[0]) >> 2;
  const int g = (a0[1] + a1[1] + b0[1] + b1[1]) >> 2;
  const int r = (a0[2] + a1[2] + b0[2] + b1[2]) >> 2;
  uv[0] = static_cast<std::uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
  uv[1] = static_cast<std::uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

}  // namespace nimbra::detail
