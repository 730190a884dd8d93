#include "pixels/area_scale_rows.h"

namespace nimbra::detail {

std::size_t four_thirds_rows_c(const std::uint8_t* const rows[4], std::uint8_t* const out[3], std::size_t dst_width,
                               bool box) {
  // Weights of the first and second pixel (or row) of each target's pair, per target.
  constexpr int kArea[3][2] = {{3, 1}, {2, 2}, {1, 3}}, kBox[3][2] = {{2, 0}, {2, 0}, {1, 1}};
  const auto& w = box ? kBox : kArea;
  const int bias = box ? 0 : 8, shift = box ? 2 : 4;
  for (std::size_t x = 0; x < dst_width; x += 3) {
    const std::size_t s = x / 3 * 16;
    for (std::size_t row = 0; row < 3; ++row) {
      const std::uint8_t* first = rows[row];  // target row r weighs source rows r and r + 1
      const std::uint8_t* second = rows[row + 1];
      for (std::size_t k = 0; k < 3; ++k) {
        int v[4];
        for (std::size_t i = 0; i < 4; ++i) v[i] = w[row][0] * first[s + i * 4 + k] + w[row][1] * second[s + i * 4 + k];
        for (std::size_t t = 0; t < 3; ++t) {
          out[row][(x + t) * 4 + k] = static_cast<std::uint8_t>((w[t][0] * v[t] + w[t][1] * v[t + 1] + bias) >> shift);
        }
      }
      for (std::size_t t = 0; t < 3; ++t) out[row][(x + t) * 4 + 3] = 255;
    }
  }
  return dst_width;
}

void four_thirds_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height, std::uint8_t* dst,
                      bool box) {
  const SimdLevel level = simd_level();
  const std::size_t src_row = std::size_t{dst_width} / 3 * 16, dst_row = std::size_t{dst_width} * 4;
  for (std::size_t y = 0; y < dst_height; y += 3) {
    const std::uint8_t* a = src + y / 3 * 4 * src_row;
    const std::uint8_t* const rows[4] = {a, a + src_row, a + 2 * src_row, a + 3 * src_row};
    std::uint8_t* const out[3] = {dst + y * dst_row, dst + (y + 1) * dst_row, dst + (y + 2) * dst_row};
    const std::size_t done = level == SimdLevel::avx2    ? four_thirds_rows_avx2(rows, out, dst_width, box)
                             : level == SimdLevel::ssse3 ? four_thirds_rows_ssse3(rows, out, dst_width, box)
                             : level == SimdLevel::sse2  ? four_thirds_rows_sse2(rows, out, dst_width, box)
                                                         : 0;
    const std::size_t skip = done / 3 * 16;
    const std::uint8_t* const rest[4] = {rows[0] + skip, rows[1] + skip, rows[2] + skip, rows[3] + skip};
    std::uint8_t* const tail[3] = {out[0] + done * 4, out[1] + done * 4, out[2] + done * 4};
    four_thirds_rows_c(rest, tail, dst_width - done, box);
  }
}

}  // namespace nimbra::detail
