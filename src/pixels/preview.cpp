#include "pixels/preview.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace nimbra {
namespace {

std::uint8_t clamp_shift(int v) { return static_cast<std::uint8_t>(std::clamp(v >> 8, 0, 255)); }

// The last byte a sampler reads is the V of the chroma pair under the last
// sampled column and chroma row; w * h * 3 / 2 covers it only for even sizes.
bool nv12_samples_fit(std::size_t bytes, std::uint64_t w, std::uint64_t h) {
  if (w == 0 || h == 0) return false;
  const std::uint64_t luma = w * h;
  const std::uint64_t last_row = (kPreviewHeight - 1) * h / (2 * kPreviewHeight);
  const std::uint64_t last_column = ((kPreviewWidth - 1) * w / kPreviewWidth) & ~std::uint64_t{1};
  return bytes >= luma * 3 / 2 && bytes >= luma + last_row * w + last_column + 2;
}

bool bgra_samples_fit(std::size_t bytes, std::uint64_t w, std::uint64_t h) {
  return w != 0 && h != 0 && bytes >= w * h * 4;
}

void zero_preview(MutableBytes out) { std::fill(out.begin(), out.begin() + kPreviewBytes, 0); }

}  // namespace

void preview_from_nv12_reference(ByteView nv12, std::uint32_t width, std::uint32_t height, MutableBytes out) {
  const std::uint64_t w = width, h = height;
  if (out.size() < kPreviewBytes) return;
  const std::size_t luma = std::size_t{w} * h;
  if (!nv12_samples_fit(nv12.size(), w, h)) return zero_preview(out);
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint64_t sy = y * h / kPreviewHeight, row = y * h / (2 * kPreviewHeight);
    for (std::uint64_t x = 0; x < kPreviewWidth; ++x) {
      const std::uint64_t sx = x * w / kPreviewWidth;
      const int c = nv12[sy * w + sx] - 16;
      const std::size_t uv = luma + row * w + (sx & ~std::uint64_t{1});
      const int d = nv12[uv] - 128, e = nv12[uv + 1] - 128;
      std::uint8_t* p = &out[(y * kPreviewWidth + x) * 4];
      p[0] = clamp_shift(298 * c + 516 * d + 128);
      p[1] = clamp_shift(298 * c - 100 * d - 208 * e + 128);
      p[2] = clamp_shift(298 * c + 409 * e + 128);
      p[3] = 255;
    }
  }
}

void preview_from_bgra_reference(ByteView bgra, std::uint32_t width, std::uint32_t height, MutableBytes out) {
  const std::uint64_t w = width, h = height;
  if (out.size() < kPreviewBytes) return;
  if (!bgra_samples_fit(bgra.size(), w, h)) return zero_preview(out);
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint64_t sy = y * h / kPreviewHeight;
    for (std::uint64_t x = 0; x < kPreviewWidth; ++x) {
      const std::uint8_t* s = &bgra[(sy * w + x * w / kPreviewWidth) * 4];
      std::uint8_t* p = &out[(y * kPreviewWidth + x) * 4];
      p[0] = s[0];
      p[1] = s[1];
      p[2] = s[2];
      p[3] = 255;
    }
  }
}

void preview_from_nv12(ByteView nv12, std::uint32_t width, std::uint32_t height, MutableBytes out) {
  const std::uint64_t w = width, h = height;
  if (out.size() < kPreviewBytes) return;
  if (!nv12_samples_fit(nv12.size(), w, h)) return zero_preview(out);
  std::array<std::uint32_t, kPreviewWidth> columns;
  for (std::uint64_t x = 0; x < kPreviewWidth; ++x) columns[x] = static_cast<std::uint32_t>(x * w / kPreviewWidth);
  const std::uint8_t* chroma = nv12.data() + std::size_t{w} * h;
  std::uint8_t* p = out.data();
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint8_t* luma_row = nv12.data() + y * h / kPreviewHeight * w;
    const std::uint8_t* chroma_row = chroma + y * h / (2 * kPreviewHeight) * w;
    for (std::uint32_t sx : columns) {
      const int t = 298 * (luma_row[sx] - 16) + 128;
      const std::uint8_t* uv = chroma_row + (sx & ~1u);
      const int d = uv[0] - 128, e = uv[1] - 128;
      p[0] = clamp_shift(t + 516 * d);
      p[1] = clamp_shift(t - 100 * d - 208 * e);
      p[2] = clamp_shift(t + 409 * e);
      p[3] = 255;
      p += 4;
    }
  }
}

void preview_from_bgra(ByteView bgra, std::uint32_t width, std::uint32_t height, MutableBytes out) {
  const std::uint64_t w = width, h = height;
  if (out.size() < kPreviewBytes) return;
  if (!bgra_samples_fit(bgra.size(), w, h)) return zero_preview(out);
  std::array<std::uint32_t, kPreviewWidth> columns;
  for (std::uint64_t x = 0; x < kPreviewWidth; ++x) columns[x] = static_cast<std::uint32_t>(x * w / kPreviewWidth);
  std::uint8_t* p = out.data();
  for (std::uint64_t y = 0; y < kPreviewHeight; ++y) {
    const std::uint8_t* row = bgra.data() + y * h / kPreviewHeight * w * 4;
    for (std::uint32_t sx : columns) {
      // One 32-bit move per pixel with byte 3 forced, instead of four byte moves.
      std::uint32_t v;
      std::memcpy(&v, row + std::size_t{sx} * 4, 4);
      v |= 0xFF000000u;
      std::memcpy(p, &v, 4);
      p += 4;
    }
  }
}

}  // namespace nimbra
