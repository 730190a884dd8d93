#pragma once
// The pair of sizes a scaler is built for, and whether buffers hold them.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra::detail {

struct ScaleSizes {
  std::uint32_t src_width, src_height, dst_width, dst_height;

  friend bool operator==(const ScaleSizes&, const ScaleSizes&) = default;

  bool empty() const { return src_width == 0 || src_height == 0 || dst_width == 0 || dst_height == 0; }

  // Every size above 0 and both buffers at least as long as their sizes say.
  bool fit(ByteView src, MutableBytes dst) const {
    return !empty() && src.size() >= std::size_t{src_width} * src_height * 4 &&
           dst.size() >= std::size_t{dst_width} * dst_height * 4;
  }
};

}  // namespace nimbra::detail
