#pragma once
// The low layer's cheap downscale: each target pixel is the truncated mean of
// the source pixels in its span; spans tile the source when it is larger.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

// Leaves `dst` (tw * th * 4 bytes) as it was when a size is 0, the source
// holds fewer than sw * sh * 4 bytes or `dst` fewer than tw * th * 4.
void box_downscale(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                   std::uint32_t th);

// The formula as written: the oracle of the fast version.
void box_downscale_reference(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst,
                             std::uint32_t tw, std::uint32_t th);

}  // namespace nimbra
