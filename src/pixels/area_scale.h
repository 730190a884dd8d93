#pragma once
// Exact area-averaging (box filter) resampling of BGRA images, any ratio,
// each axis on its own: every target byte is the area-weighted mean of the
// source bytes it covers, rounded half up. Byte 3 becomes 255.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

// One frame, for tests and one-off callers: builds an AreaScaler
// (pixels/area_scaler.h) and scales once. A caller that scales many frames
// of the same sizes keeps its own AreaScaler. Sizes are above 0; src holds
// src_width * src_height * 4 bytes and dst dst_width * dst_height * 4
// (otherwise nothing is written). Equal sizes copy the source, byte 3 set
// to 255 too: sources leave padding there.
void area_scale(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                std::uint32_t dst_width, std::uint32_t dst_height);

// The formula as written: the oracle of the fast version.
void area_scale_reference(ByteView src, std::uint32_t src_width, std::uint32_t src_height, MutableBytes dst,
                          std::uint32_t dst_width, std::uint32_t dst_height);

}  // namespace nimbra
