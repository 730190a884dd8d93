#pragma once
// Decoded NV12 (with a stride and padded rows) to packed RGBA at the display
// size, BT.601 limited range.
#include <cstdint>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// `nv12` is the decoder's whole buffer: a luma plane of stride * rows bytes
// and a chroma plane of half that, rows in height..=height + 128. Fills
// `rgba` with width * height * 4 bytes.
Status nv12_to_rgba(ByteView nv12, std::uint32_t width, std::uint32_t height, std::uint32_t stride, Bytes& rgba);

// The per-pixel formula on an already checked layout: the oracle of the fast
// version. `chroma` is the first byte of the chroma plane.
void nv12_to_rgba_reference(const std::uint8_t* luma, const std::uint8_t* chroma, std::uint32_t width,
                            std::uint32_t height, std::uint32_t stride, std::uint8_t* rgba);

}  // namespace nimbra
