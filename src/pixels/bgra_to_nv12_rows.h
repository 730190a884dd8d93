#pragma once
// Row kernels of bgra_to_nv12. A kernel converts one pair of source rows
// (the same row twice for an odd last row) into two luma rows and one chroma
// row and returns how many pixels it did: the C row, the reference the
// SIMD rows match byte for byte, all of them; the SIMD rows as many whole
// vector steps as fit (an even count), leaving the tail to the C row.
#include <cstddef>
#include <cstdint>

#include "pixels/simd_level.h"

namespace nimbra::detail {

using Nv12RowPair = std::size_t (*)(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                    std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);

std::size_t bgra_to_nv12_rows_sse2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);
std::size_t bgra_to_nv12_rows_ssse3(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                    std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);
std::size_t bgra_to_nv12_rows_avx2(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                   std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);

std::size_t bgra_to_nv12_rows_c(const std::uint8_t* row0, const std::uint8_t* row1, std::uint8_t* luma0,
                                std::uint8_t* luma1, std::uint8_t* chroma, std::size_t width);

// The row of an instruction set: its SIMD row, then the C row for the tail.
Nv12RowPair bgra_to_nv12_rows_for(SimdLevel level);

}  // namespace nimbra::detail
