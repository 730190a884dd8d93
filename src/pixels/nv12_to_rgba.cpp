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

std::size_t scalar_rows(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                        std::uint8_t*, std::size_t) {
  return 0;
}

detail::RgbaRowPair row_kernel() {
  switch (simd_level()) {
    case SimdLevel::avx2: return detail::nv12_to_rgba_rows_avx2;
    case SimdLevel::sse2: return detail::nv12_to_rgba_rows_sse2;
    case SimdLevel::scalar: break;
  }
  return scalar_rows;
}

}  // namespace

void nv12_to_rgba_reference(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t w,
                            std::uint32_t h, std::uint32_t stride, std::uint8_t* rgba) {
  for (std::size_t r = 0; r < h; ++r) {
    for (std::size_t c = 0; c < w; ++c) {
      const int l = std::max<int>(luma[r * stride + c], 16);
      const std::uint8_t* uv = chroma + (r / 2) * stride + (c & ~std::size_t{1});
      const int t = 298 * l - 4640, d = uv[0] - 128, e = uv[1] - 128;
      std::uint8_t* p = rgba + (r * w + c) * 4;
      p[0] = reference_clamp(t + 409 * e);
      p[1] = reference_clamp(t - 100 * d - 208 * e);
      p[2] = reference_clamp(t + 516 * d);
      p[3] = 255;
    }
  }
}

void nv12_to_rgba_rows(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t w, std::uint32_t h,
                       std::uint32_t stride, std::uint8_t* rgba) {
  const detail::RgbaRowPair rows = row_kernel();
  const std::size_t out_row = std::size_t{w} * 4;
  for (std::size_t r0 = 0; r0 < h; r0 += 2) {
    // An odd last row pairs with itself and is written twice, to the same place.
    const std::size_t r1 = r0 + 1 < h ? r0 + 1 : r0;
    const std::uint8_t* l0 = luma + r0 * stride;
    const std::uint8_t* l1 = luma + r1 * stride;
    const std::uint8_t* uv = chroma + r0 / 2 * stride;
    std::uint8_t* out0 = rgba + r0 * out_row;
    std::uint8_t* out1 = rgba + r1 * out_row;
    for (std::size_t c = rows(l0, l1, uv, out0, out1, w); c < w; ++c) {
      detail::rgba_of(l0[c], uv + (c & ~std::size_t{1}), out0 + c * 4);
      detail::rgba_of(l1[c], uv + (c & ~std::size_t{1}), out1 + c * 4);
    }
  }
}

Status nv12_to_rgba(ByteView nv12, std::uint32_t w, std::uint32_t h, std::uint32_t stride, Bytes& rgba) {
  const std::size_t n = nv12.size();
  if (n % 3 != 0 || stride == 0 || stride < w) return fail("invalid stride or size");
  const std::size_t luma = 2 * n / 3 / 2 * 2;
  if (luma % stride != 0 || luma / stride < h || luma / stride > std::size_t{h} + 128) {
    return fail("invalid NV12 layout " + std::to_string(n) + " stride " + std::to_string(stride));
  }
  // An odd width still reads the V byte after its last U, one past w.
  const std::size_t chroma_span = (std::size_t{w} + 1) / 2 * 2;
  if (h == 0 || luma + std::size_t{(h - 1) / 2} * stride + chroma_span > n) return fail("short NV12 plane");
  if (std::size_t{w} * h > std::numeric_limits<std::size_t>::max() / 4) return fail("size overflow");
  rgba.resize(std::size_t{w} * h * 4);
  nv12_to_rgba_rows(nv12.data(), nv12.data() + luma, w, h, stride, rgba.data());
  return {};
}

}  // namespace nimbra
