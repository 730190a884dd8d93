#pragma once
// A moving NV12 test picture: a drifting smooth pattern, a sliding checker
// block and a slow colour wash, so that motion search, texture and flat areas
// all get exercised.
#include <cmath>
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra::test {

inline Bytes synthetic_nv12(std::uint32_t w, std::uint32_t h, int t) {
  Bytes out(std::size_t{w} * h * 3 / 2);
  const int block_x = static_cast<int>((40 + 7 * t) % (w > 320 ? w - 300 : 1));
  const int block_y = static_cast<int>(h / 4 + (3 * t) % (h / 3 + 1));
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double v = 120 + 55 * std::sin((x + 3.0 * t) / 41.0) * std::cos((y - 2.0 * t) / 29.0);
      const int bx = static_cast<int>(x) - block_x, by = static_cast<int>(y) - block_y;
      if (bx >= 0 && bx < 240 && by >= 0 && by < 160) v = ((bx / 16 + by / 16) % 2) ? 200 : 50;
      out[std::size_t{y} * w + x] = static_cast<std::uint8_t>(v);
    }
  }
  std::uint8_t* uv = out.data() + std::size_t{w} * h;
  for (std::uint32_t y = 0; y < h / 2; ++y) {
    for (std::uint32_t x = 0; x < w / 2; ++x) {
      uv[std::size_t{y} * w + 2 * x] = static_cast<std::uint8_t>(90 + (x * 80 / (w / 2)) + t % 20);
      uv[std::size_t{y} * w + 2 * x + 1] = static_cast<std::uint8_t>(160 - (y * 60 / (h / 2)));
    }
  }
  return out;
}

inline double psnr(ByteView a, ByteView b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace nimbra::test
