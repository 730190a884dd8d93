#pragma once
// The fast form of area_scale for one fixed pair of sizes. Building it picks
// the shape of the reduction (a copy, 2:1, 3:2, 4:3, whole k:1 blocks or
// any ratio) and precomputes what that shape needs; scale() then allocates
// nothing. The capture loop keeps one while the source and output sizes
// stay the same.
#include <cstdint>
#include <optional>
#include <vector>

#include "pixels/resampler.h"
#include "pixels/scale_sizes.h"
#include "sys/bytes.h"

namespace nimbra {

class AreaScaler {
 public:
  AreaScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width, std::uint32_t dst_height);

  // Same bytes as area_scale_reference. Writes nothing when a size is 0 or a
  // buffer is shorter than its size says. With `changed`, only the target
  // rows that the source rows in it reach are written, which is enough when
  // dst holds this scaler's picture of a source equal outside those rows.
  // Returns the target rows written.
  RowSpan scale(ByteView src, MutableBytes dst, RowSpan changed = RowSpan::all());

  bool has_sizes(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                 std::uint32_t dst_height) const {
    return sizes_ == detail::ScaleSizes{src_width, src_height, dst_width, dst_height};
  }

 private:
  // Each fixed shape writes `dst_rows` target rows from the source rows of
  // the same groups, src and dst pointing at the first group.
  using Shape = void (AreaScaler::*)(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);

  void scale_copy(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);
  void scale_halve(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);
  void scale_three_halves(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);
  void scale_four_thirds(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);
  void scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t dst_rows);

  detail::ScaleSizes sizes_;
  Shape shape_ = nullptr;  // a fixed shape; null for any other ratio, or when a size is 0
  // Source rows and target rows of one group of the fixed shape: each group
  // of target rows is made from its own group of source rows alone.
  std::uint32_t group_src_ = 0, group_dst_ = 0;
  std::uint32_t block_ = 0;  // k of a k:1 reduction on both axes
  std::vector<std::uint16_t> block_sums_;
  std::optional<detail::Resampler> general_;  // any other ratio, whose spans overlap
};

}  // namespace nimbra
