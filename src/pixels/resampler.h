#pragma once
// Any-ratio area or box resampling of BGRA images in two passes: each
// source row goes once through the horizontal pass into a ring of lines,
// then each target row is weighed from its lines, divided and written. The
// plan, chosen once per pair of sizes, picks the narrowest sums that hold:
// rows only, where the width stays; 16-bit lines and sums; rows first,
// where each target row's source rows go into one 16-bit line and its
// columns are weighed and divided from there; 16-bit lines and 32-bit sums;
// floats (exact below 2^24); 32-bit; or 64-bit in C where nothing narrower
// does.
#include <cstdint>
#include <vector>

#include "pixels/resample_rows.h"
#include "sys/bytes.h"

namespace nimbra::detail {

class Resampler {
 public:
  enum class Kind { area, box };

  // Sizes above 0. A box plan whose spans hold more than 257 source pixels
  // is not `usable`; an area plan always is.
  Resampler(Kind kind, std::uint32_t src_width, std::uint32_t src_height, std::uint32_t dst_width,
            std::uint32_t dst_height);

  bool usable() const { return path_ != Path::none; }

  // src: src_width x src_height, dst: dst_width x dst_height, both BGRA;
  // writes the target rows [first_row, end_row), all of them by default.
  void run(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t first_row = 0,
           std::uint32_t end_row = UINT32_MAX);

  // The target rows whose spans reach any of the source rows [first, end).
  RowSpan target_rows(std::uint32_t first, std::uint32_t end) const;

 private:
  enum class Path { none, rows_only, narrow16, rows_first, narrow32, wide_float, wide32, wide64, box };

  // Lines a ring holds at most: every row of the tallest span.
  static constexpr std::uint32_t kMaxRing = 64;

  // Slot r % size of a ring holds source row r's horizontal sums.
  template <class Sum>
  struct Ring {
    std::vector<Sum> sums;
    std::vector<const Sum*> lines;
  };

  template <class Sum, class Horizontal>
  WeighedLines<Sum> lines_of(std::size_t target_row, const std::uint8_t* src, Ring<Sum>& ring,
                             Horizontal horizontal);
  template <class Sum, class Horizontal, class Vertical, class Divide>
  void run_rows(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, Ring<Sum>& ring, Horizontal horizontal,
                Vertical vertical, const Divide& divide);
  void run_rows_only(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, SimdLevel level);
  void run_rows_first(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows, SimdLevel level);
  void run_wide64(const std::uint8_t* src, std::uint8_t* dst, RowSpan rows);
  const std::uint32_t* row_weights(std::size_t target_row) const;
  WeighedLines<std::uint8_t> source_rows(const std::uint8_t* src, std::size_t target_row);
  void plan_box_magics();

  Path path_ = Path::none;
  std::uint32_t src_width_, dst_width_, dst_height_;
  ColumnTaps columns_;
  AxisTaps rows_;
  RowDivide divide_{0, 1, WordDivider(1, 0), LaneDivider(1, 0)};
  // Box: 1 / span length, four per target, and where every divisor of a
  // row count allows it, the 16-bit magics of each row count.
  std::vector<float> reciprocals_;
  std::vector<std::vector<std::uint16_t>> magics_;
  std::vector<std::uint32_t> magic_rows_;  // the row count of each table
  Ring<std::int16_t> ring16_;
  Ring<float> ring_float_;
  Ring<std::uint32_t> ring32_;
  std::vector<std::uint64_t> line64_, sums64_;
  std::vector<std::int16_t> line16_;             // rows first
  std::vector<const std::uint8_t*> source_rows_;
  std::vector<std::int64_t> ring_rows_;  // the source row in each slot, -1 for none
};

}  // namespace nimbra::detail
