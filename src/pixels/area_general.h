#pragma once
// Vector passes of AreaScaler's general path (any ratio).
#include <cstddef>
#include <cstdint>

namespace nimbra::detail {

// A target column's source pixels, `count` from `first`; their weights as
// 16-bit pairs (w0 | w1 << 16, the last one padded with 0) from `pairs_at`.
struct PairedSpan {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  std::uint32_t pairs_at = 0;
};

// One source row to 32-bit sums of all four channels per target column.
void area_horizontal_sse2(const std::uint8_t* row, const PairedSpan* columns, const std::uint32_t* pair_weights,
                          std::size_t dst_width, std::uint32_t* out);

// acc[i] = (first ? start : acc[i]) + weight * line[i] for n values whose
// results stay below 2^32.
void area_vertical_sse2(const std::uint32_t* line, std::uint32_t weight, std::size_t n, std::uint32_t* acc,
                        bool first, std::uint32_t start);
void area_vertical_avx2(const std::uint32_t* line, std::uint32_t weight, std::size_t n, std::uint32_t* acc,
                        bool first, std::uint32_t start);

// Target pixels from n / 4 accumulated sums of four channels each, divided
// by 2^shift, or by d through its ExactDivider magic; byte 3 becomes 255.
void area_shift_out_sse2(const std::uint32_t* acc, std::size_t n, int shift, std::uint8_t* out);
void area_magic_out_sse2(const std::uint32_t* acc, std::size_t n, std::uint64_t magic, std::uint8_t* out);

}  // namespace nimbra::detail
