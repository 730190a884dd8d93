#pragma once
// Skips a frame that equals the last encoded one, but never more than 60 in
// a row: a still screen still yields a frame every 61 frame periods, so a
// host that joins late soon has a picture.
#include <cstdint>

#include "capture/frame_digest.h"

namespace nimbra {

class UnchangedFilter {
 public:
  static constexpr std::uint32_t kLimit = 60;

  // Whether to skip this frame. A frame the host asked for (`wanted`: a key
  // frame of either layer) is never skipped.
  bool skip(FrameDigest digest, bool wanted) {
    if (!wanted && digest == last_ && skipped_ < kLimit) {
      ++skipped_;
      return true;
    }
    skipped_ = 0;
    return false;
  }
  // The frame was encoded.
  void encoded(FrameDigest digest) { last_ = digest; }
  // A new encoder has seen nothing yet.
  void forget() { last_ = kNoDigest; }

 private:
  FrameDigest last_ = kNoDigest;
  std::uint32_t skipped_ = 0;
};

}  // namespace nimbra
