#pragma once
// Row kernels of the ratios the capture loop meets most. Each has a
// plain C row, the reference the SIMD rows match byte for byte, which does
// every pixel it is given and returns that count; the SIMD rows do as many
// whole vector steps as fit and return how many target pixels that was.
// `*_for(level)` gives the row of an instruction set: its SIMD row, then the
// C row for the tail.
// The SIMD rows prefetch the same columns of the next group of source rows:
// the groups are evenly spaced, so that is a fixed distance on.
#include <cstddef>
#include <cstdint>

#include "pixels/prefetch.h"
#include "pixels/simd_level.h"

namespace nimbra::detail {

// 2:1 on both axes: (sum + bias) / 4 of each 2 x 2 block; bias is 2, which
// rounds half up (area_scale), or 0, which truncates (box_downscale).
using HalveRow = std::size_t (*)(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                                 std::size_t dst_width, int bias);

std::size_t halve_row_c(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                        std::size_t dst_width, int bias);
std::size_t halve_row_sse2(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                           std::size_t dst_width, int bias);
std::size_t halve_row_ssse3(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                            std::size_t dst_width, int bias);
std::size_t halve_row_avx2(const std::uint8_t* upper, const std::uint8_t* lower, std::uint8_t* out,
                           std::size_t dst_width, int bias);
HalveRow halve_row_for(SimdLevel level);

// A whole (2 dst_width) x (2 dst_height) BGRA image to dst_width x dst_height.
void halve_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height, std::uint8_t* dst,
                int bias);

// 3:2 on both axes: three source rows give two target rows; along each axis
// the weights are 2, 1 then 1, 2, so each target byte is (sum + 4) / 9 of a
// 2 x 2 block weighted 4, 2, 2, 1. Works on pairs of target pixels
// (dst_width is even).
using ThreeHalvesRows = std::size_t (*)(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                        std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);

std::size_t three_halves_rows_c(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
std::size_t three_halves_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                   std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
std::size_t three_halves_rows_avx2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                   std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
ThreeHalvesRows three_halves_rows_for(SimdLevel level);

// A whole (3 dst_width / 2) x (3 dst_height / 2) BGRA image to
// dst_width x dst_height, both even.
void three_halves_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height,
                       std::uint8_t* dst);

// 4:3 on both axes: four source rows give three target rows. For
// area_scale the weights along each axis are 3, 1 then 2, 2 then 1, 3, and
// each target byte is (sum + 8) / 16 of a 2 x 2 block. For box_downscale the
// spans are one, one, then two pixels, each average truncated; as weights 2,
// 0 then 2, 0 then 1, 1 along both axes that is sum / 4 of the block. Works
// on threes of target pixels (dst_width is a multiple of 3).
std::size_t four_thirds_rows_c(const std::uint8_t* const rows[4], std::uint8_t* const out[3], std::size_t dst_width,
                               bool box);
std::size_t four_thirds_rows_avx2(const std::uint8_t* const rows[4], std::uint8_t* const out[3],
                                  std::size_t dst_width, bool box);
std::size_t four_thirds_rows_sse2(const std::uint8_t* const rows[4], std::uint8_t* const out[3],
                                  std::size_t dst_width, bool box);
std::size_t four_thirds_rows_ssse3(const std::uint8_t* const rows[4], std::uint8_t* const out[3],
                                   std::size_t dst_width, bool box);

// A whole (4 dst_width / 3) x (4 dst_height / 3) BGRA image to
// dst_width x dst_height, both multiples of 3.
void four_thirds_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height, std::uint8_t* dst,
                      bool box);

// The same shape for box_downscale: spans of one then two pixels per axis,
// so each pair of target pixels is (a0, (a1 + a2) / 2) on the top row and
// ((b0 + c0) / 2, (b1 + b2 + c1 + c2) / 4) below, truncating.
std::size_t box_three_halves_rows_c(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                    std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
std::size_t box_three_halves_rows_avx2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                       std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
std::size_t box_three_halves_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                       std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width);
ThreeHalvesRows box_three_halves_rows_for(SimdLevel level);
void box_three_halves_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height,
                           std::uint8_t* dst);

// floor(n / 9) = (n * 7,282) >> 16 for every n below 2^15 (the kernels reach
// 9 * 255 + 4): 9 * 7,282 = 2^16 + 2, so the product over 2^16 is
// n / 9 + 2n / (9 * 2^16), and the excess 2n / 2^16 < 1 never lifts the
// remainder (at most 8) to 9.
inline constexpr std::uint16_t kNinthMagic = 7282;

}  // namespace nimbra::detail
