#pragma once
// The low layer's cheap downscale: each target pixel is the truncated mean of
// the source pixels in its span; spans tile the source when it is larger.
#include <cstdint>
#include <optional>
#include <vector>

#include "pixels/resampler.h"
#include "pixels/scale_sizes.h"
#include "sys/bytes.h"

namespace nimbra {

// box_downscale for one fixed pair of sizes, its tables built once: the
// encoder thread keeps one while the sizes stay the same.
class BoxScaler {
 public:
  BoxScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width, std::uint32_t dst_height);

  // Same bytes as box_downscale_reference; writes nothing when a size is 0 or
  // a buffer is shorter than its size says.
  void scale(ByteView src, MutableBytes dst);

  bool has_sizes(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                 std::uint32_t dst_height) const {
    return sizes_ == detail::ScaleSizes{src_width, src_height, dst_width, dst_height};
  }

 private:
  using Shape = void (BoxScaler::*)(const std::uint8_t* src, std::uint8_t* dst);

  void scale_halve(const std::uint8_t* src, std::uint8_t* dst);
  void scale_three_halves(const std::uint8_t* src, std::uint8_t* dst);
  void scale_four_thirds(const std::uint8_t* src, std::uint8_t* dst);
  void scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst);
  void scale_general(const std::uint8_t* src, std::uint8_t* dst);
  void scale_wide_spans(const std::uint8_t* src, std::uint8_t* dst);

  detail::ScaleSizes sizes_;
  Shape shape_ = nullptr;  // null: a size is 0, nothing to do
  std::uint32_t block_ = 0;
  std::vector<std::uint16_t> block_sums_;
  std::optional<detail::Resampler> general_;
};

// One frame, for tests and one-off callers. Leaves `dst` as it was when a
// size is 0, the source holds fewer than src_width * src_height * 4 bytes or
// `dst` fewer than dst_width * dst_height * 4.
void box_downscale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                   std::uint32_t dst_width, std::uint32_t dst_height);

// The formula as written: the oracle of the fast version.
void box_downscale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                             std::uint32_t dst_width, std::uint32_t dst_height);

}  // namespace nimbra
