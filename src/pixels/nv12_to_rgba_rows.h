#pragma once
// Row kernels of nv12_to_rgba. A kernel converts two luma rows that share
// one chroma row (the same row twice for an odd last row) and returns how
// many pixels it did: the C row, the byte-exact reference, all of them;
// the SIMD rows as many whole vector steps as fit (an even count), leaving
// the tail to the C row.
#include <cstddef>
#include <cstdint>

#include "pixels/simd_level.h"

namespace nimbra::detail {

using RgbaRowPair = std::size_t (*)(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                    const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                    std::size_t width);

std::size_t nv12_to_rgba_rows_c(const std::uint8_t* luma0, const std::uint8_t* luma1, const std::uint8_t* chroma,
                                std::uint8_t* rgba0, std::uint8_t* rgba1, std::size_t width);
std::size_t nv12_to_rgba_rows_sse2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width);
std::size_t nv12_to_rgba_rows_avx2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width);

// The row of an instruction set: its SIMD row, then the C row for the tail.
RgbaRowPair nv12_to_rgba_rows_for(SimdLevel level);

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

}  // namespace nimbra::detail
