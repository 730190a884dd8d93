#pragma once
// Tells an unchanged frame from a changed one without encoding it.
#include <cstdint>
#include <vector>

#include "sys/bytes.h"

namespace nimbra {

using FrameDigest = std::uint64_t;

// Stands for "no frame encoded yet" and "encoder just re-created".
inline constexpr FrameDigest kNoDigest = ~FrameDigest{0};

// Covers every byte: a digest of a sample would call a frame with one new
// glyph or a blinking caret unchanged. An empty buffer gives 0.
FrameDigest frame_digest(ByteView frame);

// The digest of a frame that changes a few rows at a time: the frame is
// hashed in bands of rows, and only the bands a change reached are hashed
// again. Its values are not frame_digest's, but equal frames give equal
// values and a changed byte changes it.
class BandedDigest {
 public:
  // `changed`: the rows that may differ from the frame of the last call.
  // Every row counts when the frame's length or row length is not the last
  // call's.
  FrameDigest update(ByteView frame, std::size_t row_bytes, RowSpan changed);

 private:
  static constexpr std::size_t kBandRows = 16;
  std::vector<FrameDigest> bands_;
  std::size_t frame_bytes_ = 0, row_bytes_ = 0;
};

}  // namespace nimbra
