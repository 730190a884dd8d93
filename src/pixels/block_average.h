#pragma once
// Whole-number reductions (k x k source pixels to one target pixel, k up to
// kMaxBlock), shared by area_scale, which rounds half up, and box_downscale,
// which truncates: in both every source pixel of a block weighs the same.
#include <cstdint>

namespace nimbra::detail {

// 255 * k * k plus the rounding half still fits 16 bits.
inline constexpr std::uint32_t kMaxBlock = 15;

// src is (tw * k) x (th * k) BGRA; `column_sums` holds tw * k * 4 values.
void block_average(const std::uint8_t* src, std::uint32_t k, std::uint32_t tw, std::uint32_t th,
                   std::uint8_t* dst, bool round_half_up, std::uint16_t* column_sums);

}  // namespace nimbra::detail
