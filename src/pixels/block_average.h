#pragma once
// Whole-number reductions (k x k source pixels to one target pixel, k up to
// kMaxBlock), shared by area_scale, which rounds half up, and box_downscale,
// which truncates: in both every source pixel of a block weighs the same.
#include <cstddef>
#include <cstdint>

#include "pixels/simd_level.h"

namespace nimbra::detail {

// 255 * k * k plus the rounding half still fits 16 bits.
inline constexpr std::uint32_t kMaxBlock = 15;

// One target row from the `block` source rows at `rows`, row_bytes apart:
// each target byte is (sum of its block + bias) / block^2. `column_sums`
// is scratch for dst_width * block * 4 values. Returns the pixels done; the
// C row does them all, the SIMD rows may leave a tail to it.
using BlockRow = std::size_t (*)(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block,
                                 std::uint8_t* out, std::size_t dst_width, std::uint32_t bias,
                                 std::uint16_t* column_sums);

std::size_t block_row_c(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                        std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums);
std::size_t block_row_sse2(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                           std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums);
std::size_t block_row_ssse3(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                            std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums);
std::size_t block_row_avx2(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                           std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums);
BlockRow block_row_for(SimdLevel level);

// src is (dst_width * block) x (dst_height * block) BGRA; `column_sums`
// holds dst_width * block * 4 values.
void block_average(const std::uint8_t* src, std::uint32_t block, std::uint32_t dst_width, std::uint32_t dst_height,
                   std::uint8_t* dst, bool round_half_up, std::uint16_t* column_sums);

}  // namespace nimbra::detail
