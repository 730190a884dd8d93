#pragma once
// Exact area-averaging (box filter) resampling of BGRA images, any ratio,
// each axis on its own: every target byte is the area-weighted mean of the
// source bytes it covers, rounded half up. Byte 3 becomes 255.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

// Sizes are above 0; src holds sw * sh * 4 bytes and dst tw * th * 4 bytes
// (otherwise nothing is written). Equal sizes copy the source unchanged,
// byte 3 included. Keeps an AreaScaler per thread for the last sizes; a
// caller that owns one (pixels/area_scaler.h) can use it directly.
void area_scale(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                std::uint32_t th);

// The formula as written: the oracle of the fast version.
void area_scale_reference(ByteView src, std::uint32_t sw, std::uint32_t sh, MutableBytes dst, std::uint32_t tw,
                          std::uint32_t th);

}  // namespace nimbra
