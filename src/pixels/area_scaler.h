#pragma once
// The fast form of area_scale for one fixed pair of sizes. Building it
// precomputes the spans and weights of both axes and the exact divider, and
// sizes its line buffers; scale() then allocates nothing. The capture loop
// keeps one while the source and output sizes stay the same.
#include <cstdint>
#include <vector>

#include "pixels/area_general.h"
#include "pixels/exact_divider.h"
#include "sys/bytes.h"

namespace nimbra {

class AreaScaler {
 public:
  AreaScaler(std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th);

  // Same bytes as area_scale_reference. Writes nothing when a size is 0 or a
  // buffer is shorter than its size says.
  void scale(ByteView src, MutableBytes dst);

  bool has_sizes(std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) const {
    return sw == sw_ && sh == sh_ && tw == tw_ && th == th_;
  }

  // One target pixel's source span on one axis: `count` pixels from `first`,
  // their weights at `weights[weights_at...]`.
  struct Span {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint32_t weights_at = 0;
  };

 private:
  enum class Shape { copy, halve, three_halves, whole_blocks, general };

  template <class Sum>
  void scale_general(const std::uint8_t* src, std::uint8_t* dst, std::vector<Sum>& lines, std::vector<Sum>& acc);
  template <class Sum>
  const Sum* horizontal(const std::uint8_t* src, std::uint32_t row, std::vector<Sum>& lines);
  void scale_general_vector(const std::uint8_t* src, std::uint8_t* dst);
  std::uint32_t* cached_line(std::uint32_t row, std::size_t line);
  std::uint32_t* fill_line(std::uint32_t row, std::size_t line);

  std::uint32_t sw_, sh_, tw_, th_;
  Shape shape_ = Shape::general;
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
