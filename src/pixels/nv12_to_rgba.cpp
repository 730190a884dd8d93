#include "pixels/nv12_to_rgba.h"

#include <algorithm>
#include <limits>
#include <string>

#include "pixels/nv12_to_rgba_rows.h"
#include "pixels/simd_level.h"

namespace nimbra {
namespace {

// The formula's own wording, kept apart from the kernels' clamp on purpose.
std::uint8_t reference_clamp(int v) { return v < 256 ? 0 : static_cast<std::uint8_t>(std::min(v >> 8, 255)); }

std::uint8_t clamp_shift(int v) { return static_cast<std::uint8_t>(std::clamp(v >> 8, 0, 255)); }

// `uv` points at the U, V pair that covers the pixel.
void rgba_of(std::uint8_t luma, const std::uint8_t* uv, std::uint8_t* rgba) {
  const int t = 298 * std::max<int>(luma, 16) - 4640, d = uv[0] - 128, e = uv[1] - 128;
  rgba[0] = clamp_shift(t + 409 * e);
  rgba[1] = clamp_shift(t - 100 * d - 208 * e);
  rgba[2] = clamp_shift(t + 516 * d);
  rgba[3] = 255;
}

template <detail::RgbaRowPair simd>
std::size_t rows_any(const std::uint8_t* luma0, const std::uint8_t* luma1, const std::uint8_t* chroma,
                     std::uint8_t* rgba0, std::uint8_t* rgba1, std::size_t width) {
  const std::size_t x = simd(luma0, luma1, chroma, rgba0, rgba1, width);
  return x + detail::nv12_to_rgba_rows_c(luma0 + x, luma1 + x, chroma + x, rgba0 + x * 4, rgba1 + x * 4, width - x);
}

// The conversion on an already checked layout. `chroma` is the first byte of
// the chroma plane.
void convert(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t width, std::uint32_t height,
             std::uint32_t stride, std::uint8_t* rgba) {
  const detail::RgbaRowPair rows = detail::nv12_to_rgba_rows_for(simd_level());
  const std::size_t out_row = std::size_t{width} * 4;
  for (std::size_t r0 = 0; r0 < height; r0 += 2) {
    // An odd last row pairs with itself and is written twice, to the same place.
    const std::size_t r1 = r0 + 1 < height ? r0 + 1 : r0;
    rows(luma + r0 * stride, luma + r1 * stride, chroma + r0 / 2 * stride, rgba + r0 * out_row, rgba + r1 * out_row,
         width);
  }
}

}  // namespace

namespace detail {

std::size_t nv12_to_rgba_rows_c(const std::uint8_t* luma0, const std::uint8_t* luma1, const std::uint8_t* chroma,
                                std::uint8_t* rgba0, std::uint8_t* rgba1, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    rgba_of(luma0[x], chroma + (x & ~std::size_t{1}), rgba0 + x * 4);
    rgba_of(luma1[x], chroma + (x & ~std::size_t{1}), rgba1 + x * 4);
  }
  return width;
}

RgbaRowPair nv12_to_rgba_rows_for(SimdLevel level) {
  switch (level) {
    case SimdLevel::avx2: return rows_any<nv12_to_rgba_rows_avx2>;
    case SimdLevel::ssse3:
    case SimdLevel::sse2: return rows_any<nv12_to_rgba_rows_sse2>;
    case SimdLevel::scalar: break;
  }
  return nv12_to_rgba_rows_c;
}

}  // namespace detail

void nv12_to_rgba_reference(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t width,
                            std::uint32_t height, std::uint32_t stride, std::uint8_t* rgba) {
  for (std::size_t r = 0; r < height; ++r) {
    for (std::size_t c = 0; c < width; ++c) {
      const int l = std::max<int>(luma[r * stride + c], 16);
      const std::uint8_t* uv = chroma + (r / 2) * stride + (c & ~std::size_t{1});
      const int t = 298 * l - 4640, d = uv[0] - 128, e = uv[1] - 128;
      std::uint8_t* p = rgba + (r * width + c) * 4;
      p[0] = reference_clamp(t + 409 * e);
      p[1] = reference_clamp(t - 100 * d - 208 * e);
      p[2] = reference_clamp(t + 516 * d);
      p[3] = 255;
    }
  }
}

Status nv12_to_rgba(ByteView nv12, std::uint32_t width, std::uint32_t height, std::uint32_t stride, Bytes& rgba) {
  const std::size_t n = nv12.size();
  if (n % 3 != 0 || stride == 0 || stride < width) return fail("invalid stride or size");
  const std::size_t luma = 2 * n / 3 / 2 * 2;
  if (luma % stride != 0 || luma / stride < height || luma / stride > std::size_t{height} + 128) {
    return fail("invalid NV12 layout " + std::to_string(n) + " stride " + std::to_string(stride));
  }
  // An odd width still reads the V byte after its last U, one past the width.
  const std::size_t chroma_span = (std::size_t{width} + 1) / 2 * 2;
  if (height == 0 || luma + std::size_t{(height - 1) / 2} * stride + chroma_span > n) {
    return fail("short NV12 plane");
  }
  if (std::size_t{width} * height > std::numeric_limits<std::size_t>::max() / 4) return fail("size overflow");
  rgba.resize(std::size_t{width} * height * 4);
  convert(nv12.data(), nv12.data() + luma, width, height, stride, rgba.data());
  return {};
}

}  // namespace nimbra
