#pragma once
// The fast form of area_scale for one fixed pair of sizes. Building it picks
// the shape of the reduction (a copy, 2:1, 3:2, whole k:1 blocks or any
// ratio) and precomputes what that shape needs: spans and weights of both
// axes, the exact divider, line buffers. scale() then allocates nothing. The
// capture loop keeps one while the source and output sizes stay the same.
#include <cstdint>
#include <vector>

#include "pixels/area_general.h"
#include "pixels/exact_divider.h"
#include "sys/bytes.h"

namespace nimbra {

class AreaScaler {
 public:
  AreaScaler(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width, std::uint32_t dst_height);

  // Same bytes as area_scale_reference. Writes nothing when a size is 0 or a
  // buffer is shorter than its size says.
  void scale(ByteView src, MutableBytes dst);

  bool has_sizes(std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
                 std::uint32_t dst_height) const {
    return src_width == src_width_ && src_height == src_height_ && dst_width == dst_width_ &&
           dst_height == dst_height_;
  }

  // One target pixel's source span on one axis: `count` pixels from `first`,
  // their weights at `weights[weights_at...]`.
  struct Span {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t weights_at = 0;
  };

 private:
  using Shape = void (AreaScaler::*)(const std::uint8_t* src, std::uint8_t* dst);

  void scale_copy(const std::uint8_t* src, std::uint8_t* dst);
  void scale_halve(const std::uint8_t* src, std::uint8_t* dst);
  void scale_three_halves(const std::uint8_t* src, std::uint8_t* dst);
  void scale_whole_blocks(const std::uint8_t* src, std::uint8_t* dst);
  void scale_general(const std::uint8_t* src, std::uint8_t* dst);

  void prepare_general();
  template <class Sum>
  void general_c(const std::uint8_t* src, std::uint8_t* dst, std::vector<Sum>& lines, std::vector<Sum>& acc);
  template <class Sum>
  const Sum* horizontal_c(const std::uint8_t* src, std::uint32_t row, std::vector<Sum>& lines);
  void general_simd(const std::uint8_t* src, std::uint8_t* dst);
  std::uint32_t* cached_line(std::uint32_t row, std::size_t line);
  std::uint32_t* fill_line(std::uint32_t row, std::size_t line);

  std::uint32_t src_width_, src_height_, dst_width_, dst_height_;
  Shape shape_ = nullptr;  // null: a size is 0, nothing to do
  std::vector<Span> columns_, rows_;
  std::vector<std::uint32_t> column_weights_, row_weights_;
  std::uint64_t divisor_ = 1;  // the weight total after dividing out common factors
  ExactDivider divide_{1, 1};
  // Two cached horizontal lines: neighbouring target rows share a source row.
  std::uint32_t line_rows_[2] = {0, 0};
  bool line_valid_[2] = {false, false};
  int line_next_ = 0;
  std::uint32_t block_ = 0;  // k of a k:1 reduction on both axes
  std::vector<std::uint16_t> block_sums_;
  std::vector<std::uint32_t> lines32_, acc32_;
  // The vector form: four channels per target pixel, weights in 16-bit pairs.
  std::vector<detail::PairedSpan> paired_columns_;
  std::vector<std::uint32_t> pair_weights_;
  std::vector<std::uint32_t> lines4_, acc4_;
  std::vector<std::uint64_t> lines64_, acc64_;
};

}  // namespace nimbra
