#include <gtest/gtest.h>

#include "pixels/area_scale.h"

namespace nimbra {
namespace {

Bytes scaled(const Bytes& src, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
             std::uint32_t dst_height) {
  Bytes dst(std::size_t{dst_width} * dst_height * 4, 0xEE);
  area_scale(src, src_width, src_height, dst, dst_width, dst_height);
  return dst;
}

Bytes pixels(std::initializer_list<std::uint32_t> bgra) {
  Bytes b;
  for (std::uint32_t p : bgra) b.insert(b.end(), {std::uint8_t(p), std::uint8_t(p >> 8), std::uint8_t(p >> 16),
                                                  std::uint8_t(p >> 24)});
  return b;
}

TEST(PixelsAreaScale, WeighsByAreaAndRoundsHalfUp) {
  struct Case {
    Bytes src;
    std::uint32_t src_width, src_height, dst_width, dst_height;
    Bytes expected;
  };
  const Case cases[] = {
      // 2 x 2 to 1: (0 + 1 + 2 + 3) / 4 = 1.5 rounds up; 1.25 down.
      {pixels({0, 1, 2, 3}), 2, 2, 1, 1, pixels({0xFF000002})},
      {pixels({0x010101, 0x010101, 0x010101, 0x020202}), 2, 2, 1, 1, pixels({0xFF010101})},
      // 3 to 2: target 0 weighs source 0 twice and source 1 once; target 1 the reverse.
      {pixels({90, 90 << 8, 90 << 16}), 3, 1, 2, 1, pixels({0xFF001E3C, 0xFF3C1E00})},
      // 3 x 3 to 2 x 2: the centre pixel is a quarter of every target (1/9 * 225 = 25 each).
      {pixels({0, 0, 0, 0, 225, 0, 0, 0, 0}), 3, 3, 2, 2, pixels({0xFF000019, 0xFF000019, 0xFF000019, 0xFF000019})},
      // Equal sizes copy with byte 3 opaque; one pixel fills any larger target.
      {pixels({0x04030201, 0x08070605}), 2, 1, 2, 1, pixels({0xFF030201, 0xFF070605})},
      {pixels({0x04030201}), 1, 1, 2, 2, pixels({0xFF030201, 0xFF030201, 0xFF030201, 0xFF030201})},
      // The largest whole block at the largest byte value: the 16-bit sums' limit.
      {Bytes(30 * 15 * 4, 255), 30, 15, 2, 1, Bytes(2 * 4, 255)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(scaled(c.src, c.src_width, c.src_height, c.dst_width, c.dst_height), c.expected)
        << c.src_width << "x" << c.src_height << " -> " << c.dst_width << "x" << c.dst_height;
  }
}

}  // namespace
}  // namespace nimbra
