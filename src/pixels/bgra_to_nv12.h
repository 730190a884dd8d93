#pragma once
// BGRA to NV12 with the BT.601 limited-range integer matrix.
#include <cstddef>

#include "sys/bytes.h"

namespace nimbra {

// Bytes an NV12 picture of this size needs (odd sizes: chroma rows and
// columns are rounded up).
std::size_t nv12_size(std::size_t width, std::size_t height);

// Writes nothing when a size is 0, the source is short or the destination is
// shorter than nv12_size. With `rows`, only the pairs of rows that hold them
// are converted.
void bgra_to_nv12(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12,
                  RowSpan rows = RowSpan::all());

// The formula as written, one pixel at a time: the oracle of the fast version.
void bgra_to_nv12_reference(ByteView bgra, std::size_t width, std::size_t height, MutableBytes nv12);

}  // namespace nimbra
