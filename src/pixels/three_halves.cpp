#include "pixels/area_scale_rows.h"

namespace nimbra::detail {
namespace {

template <ThreeHalvesRows simd, ThreeHalvesRows plain>
std::size_t three_halves_rows_any(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                  std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  const std::size_t done = simd(a, b, c, top, bottom, dst_width), s = done / 2 * 12;
  return done + plain(a + s, b + s, c + s, top + done * 4, bottom + done * 4, dst_width - done);
}

void rows_of(ThreeHalvesRows rows, const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height,
             std::uint8_t* dst) {
  const std::size_t src_row = std::size_t{dst_width} / 2 * 12, dst_row = std::size_t{dst_width} * 4;
  for (std::size_t y = 0; y < dst_height; y += 2) {
    const std::uint8_t* a = src + y / 2 * 3 * src_row;
    std::uint8_t* top = dst + y * dst_row;
    rows(a, a + src_row, a + 2 * src_row, top, top + dst_row, dst_width);
  }
}

}  // namespace

std::size_t three_halves_rows_c(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  for (std::size_t x = 0; x < dst_width; x += 2) {
    const std::size_t s = x / 2 * 12;
    for (std::size_t k = 0; k < 3; ++k) {
      const int p0 = 2 * a[s + k] + b[s + k], p1 = 2 * a[s + 4 + k] + b[s + 4 + k];
      const int p2 = 2 * a[s + 8 + k] + b[s + 8 + k];
      const int q0 = 2 * c[s + k] + b[s + k], q1 = 2 * c[s + 4 + k] + b[s + 4 + k];
      const int q2 = 2 * c[s + 8 + k] + b[s + 8 + k];
      top[x * 4 + k] = static_cast<std::uint8_t>((2 * p0 + p1 + 4) / 9);
      top[x * 4 + 4 + k] = static_cast<std::uint8_t>((p1 + 2 * p2 + 4) / 9);
      bottom[x * 4 + k] = static_cast<std::uint8_t>((2 * q0 + q1 + 4) / 9);
      bottom[x * 4 + 4 + k] = static_cast<std::uint8_t>((q1 + 2 * q2 + 4) / 9);
    }
    top[x * 4 + 3] = top[x * 4 + 7] = bottom[x * 4 + 3] = bottom[x * 4 + 7] = 255;
  }
  return dst_width;
}

ThreeHalvesRows three_halves_rows_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return three_halves_rows_any<three_halves_rows_avx2, three_halves_rows_c>;
    case SimdLevel::ssse3:
    case SimdLevel::sse2: return three_halves_rows_any<three_halves_rows_sse2, three_halves_rows_c>;
    case SimdLevel::scalar: break;
  }
  return three_halves_rows_c;
}

void three_halves_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height,
                       std::uint8_t* dst) {
  rows_of(three_halves_rows_for(simd_level()), src, dst_width, dst_height, dst);
}

std::size_t box_three_halves_rows_c(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                                    std::uint8_t* top, std::uint8_t* bottom, std::size_t dst_width) {
  for (std::size_t x = 0; x < dst_width; x += 2) {
    const std::size_t s = x / 2 * 12;
    for (std::size_t k = 0; k < 3; ++k) {
      top[x * 4 + k] = a[s + k];
      top[x * 4 + 4 + k] = static_cast<std::uint8_t>((a[s + 4 + k] + a[s + 8 + k]) / 2);
      bottom[x * 4 + k] = static_cast<std::uint8_t>((b[s + k] + c[s + k]) / 2);
      bottom[x * 4 + 4 + k] =
          static_cast<std::uint8_t>((b[s + 4 + k] + b[s + 8 + k] + c[s + 4 + k] + c[s + 8 + k]) / 4);
    }
    top[x * 4 + 3] = top[x * 4 + 7] = bottom[x * 4 + 3] = bottom[x * 4 + 7] = 255;
  }
  return dst_width;
}

ThreeHalvesRows box_three_halves_rows_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return three_halves_rows_any<box_three_halves_rows_avx2, box_three_halves_rows_c>;
    case SimdLevel::ssse3:
    case SimdLevel::sse2: return three_halves_rows_any<box_three_halves_rows_sse2, box_three_halves_rows_c>;
    case SimdLevel::scalar: break;
  }
  return box_three_halves_rows_c;
}

void box_three_halves_bgra(const std::uint8_t* src, std::uint32_t dst_width, std::uint32_t dst_height,
                           std::uint8_t* dst) {
  rows_of(box_three_halves_rows_for(simd_level()), src, dst_width, dst_height, dst);
}

}  // namespace nimbra::detail
