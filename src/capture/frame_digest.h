#pragma once
// Tells an unchanged frame from a changed one without encoding it.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

using FrameDigest = std::uint64_t;

// Stands for "no frame encoded yet" and "encoder just re-created".
inline constexpr FrameDigest kNoDigest = ~FrameDigest{0};

// Covers every byte: a digest of a sample would call a frame with one new
// glyph or a blinking caret unchanged. An empty buffer gives 0.
FrameDigest frame_digest(ByteView frame);

}  // namespace nimbra
