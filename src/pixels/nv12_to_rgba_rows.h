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
// The vector rows stay in unsigned 16-bit lanes. With L' = max(L, 16), the
// red sum v = 298 L' - 4640 + 409 E is even in its luma part, so
// floor(v / 256) = floor(v2 / 128) with v2 = 149 L' + c, c = floor((409 E -
// 4640) / 2). v2 below 0 clamps to 0 and above 2^15 to 255, so max(v2, 0)
// is all that is needed: it is subs_epu16(149 L' + kOffset, kOffset - c),
// both operands within 0..65535 for every L and chroma byte. Green alike;
// blue's c would not fit, so its 256 D part is taken out first as 2 D after
// the shift: where the rest is negative, 2 D < -64 and the pixel clamps to
// 0 either way. The bases below are kOffset - c with D = U - 128 and
// E = V - 128 folded in; per sample: n_r = kRedBase - 204 V - V / 2,
// n_g = kGreenBase + 50 U + 104 V, n_b = kBlueBase - 2 U.
namespace nv12_terms {
inline constexpr int kLumaFactor = 149;
inline constexpr int kOffset = 24000;
inline constexpr int kRedBase = kOffset + 28496;
inline constexpr int kGreenBase = kOffset - 17392;
inline constexpr int kBlueBase = kOffset + 2320 + 256;
}  // namespace nv12_terms

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
