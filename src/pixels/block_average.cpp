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

namespace {

template <BlockRow simd>
std::size_t block_row_any(const std::uint8_t* rows, std::size_t row_bytes, std::uint32_t block, std::uint8_t* out,
                          std::size_t dst_width, std::uint32_t bias, std::uint16_t* column_sums) {
  const std::size_t done = simd(rows, row_bytes, block, out, dst_width, bias, column_sums);
  return done + block_row_c(rows + done * block * 4, row_bytes, block, out + done * 4, dst_width - done, bias,
                            column_sums);
}

}  // namespace

BlockRow block_row_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return block_row_any<block_row_avx2>;
    case SimdLevel::ssse3: return block_row_any<block_row_ssse3>;
    case SimdLevel::sse2: return block_row_any<block_row_sse2>;
    case SimdLevel::scalar: break;
  }
  return block_row_c;
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
