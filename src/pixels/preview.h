#pragma once
// The host's still previews: 640 x 360 BGRA with alpha 255, one source
// sample per pixel, no filtering.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

inline constexpr std::uint32_t kPreviewWidth = 640;
inline constexpr std::uint32_t kPreviewHeight = 360;
inline constexpr std::size_t kPreviewBytes = std::size_t{kPreviewWidth} * kPreviewHeight * 4;

// `out` holds kPreviewBytes (a shorter one is left alone). A picture with a
// zero size or fewer bytes than its samples need gives an all-zero preview:
// for NV12 that is anything shorter than width * height * 3 / 2 or, for odd sizes,
// than the last chroma pair it samples.
void preview_from_nv12(ByteView nv12, std::uint32_t width, std::uint32_t height, MutableBytes out);
void preview_from_bgra(ByteView bgra, std::uint32_t width, std::uint32_t height, MutableBytes out);

// The samplers as written, pixel by pixel: the oracles of the ones above.
void preview_from_nv12_reference(ByteView nv12, std::uint32_t width, std::uint32_t height, MutableBytes out);
void preview_from_bgra_reference(ByteView bgra, std::uint32_t width, std::uint32_t height, MutableBytes out);

}  // namespace nimbra
