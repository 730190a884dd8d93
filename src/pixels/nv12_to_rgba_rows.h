#pragma once
// Row kernels of nv12_to_rgba. A kernel converts two luma rows that share
// one chroma row (the same row twice for an odd last row), as many whole
// vector steps as fit into `width`, and returns how many pixels it did (an
// even count); the caller finishes the rest with rgba_of.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace nimbra::detail {

using RgbaRowPair = std::size_t (*)(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                    const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                    std::size_t width);

std::size_t nv12_to_rgba_rows_sse2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width);
std::size_t nv12_to_rgba_rows_avx2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width);

// A sum below 256 gives 0, as does every negative one after the arithmetic shift.
inline std::uint8_t clamp_shift(int v) { return static_cast<std::uint8_t>(std::clamp(v >> 8, 0, 255)); }

// `uv` points at the U, V pair that covers the pixel.
inline void rgba_of(std::uint8_t luma, const std::uint8_t* uv, std::uint8_t* rgba) {
  const int t = 298 * std::max<int>(luma, 16) - 4640, d = uv[0] - 128, e = uv[1] - 128;
  rgba[0] = clamp_shift(t + 409 * e);
  rgba[1] = clamp_shift(t - 100 * d - 208 * e);
  rgba[2] = clamp_shift(t + 516 * d);
  rgba[3] = 255;
}

}  // namespace nimbra::detail
