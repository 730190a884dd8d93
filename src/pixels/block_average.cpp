#include "pixels/block_average.h"

namespace nimbra::detail {

std::size_t block_row_c(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                        std::size_t dst_width, std::uint32_t bias, std::uint16_t*) {
  const std::uint32_t area = block * block;
  for (std::size_t x = 0; x < dst_width; ++x) {
    for (std::size_t k = 0; k < 3; ++k) {
      std::uint32_t sum = bias;
      for (std::size_t y = 0; y < block; ++y) {
        for (std::size_t i = 0; i < block; ++i) sum += rows[y * row_bytes + (x * block + i) * 4 + k];
      }
      out[x * 4 + k] = static_cast<std::uint8_t>(sum / area);
    }
    out[x * 4 + 3] = 255;
  }
  return dst_width;
}

BlockRow block_row_for(SimdLevel level) {
  return level == SimdLevel::scalar ? block_row_c : block_row_sse2;
}

void block_average(const std::uint8_t* src, std::uint32_t block, std::uint32_t dst_width, std::uint32_t dst_height,
                   std::uint8_t* dst, bool round_half_up, std::uint16_t* column_sums) {
  const BlockRow row = block_row_for(simd_level());
  const std::uint32_t bias = round_half_up ? block * block / 2 : 0;
  const std::size_t row_bytes = std::size_t{dst_width} * block * 4;
  for (std::size_t y = 0; y < dst_height; ++y) {
    row(src + y * block * row_bytes, row_bytes, block, dst + y * std::size_t{dst_width} * 4, dst_width, bias,
        column_sums);
  }
}

}  // namespace nimbra::detail
