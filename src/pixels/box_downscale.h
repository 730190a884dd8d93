#pragma once
// The low layer's cheap downscale: each target pixel is the truncated mean of
// the source pixels in its span; spans tile the source when it is larger.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

// Leaves `dst` as it was when a size is 0, the source holds fewer than
// src_width * src_height * 4 bytes or `dst` fewer than dst_width *
// dst_height * 4.
void box_downscale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                   std::uint32_t dst_width, std::uint32_t dst_height);

// The formula as written: the oracle of the fast version.
void box_downscale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                             std::uint32_t dst_width, std::uint32_t dst_height);

}  // namespace nimbra
