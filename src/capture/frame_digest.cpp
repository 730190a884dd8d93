#include "capture/frame_digest.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "pixels/simd_level.h"

namespace nimbra {

FrameDigest frame_digest_avx2(ByteView frame);  // frame_digest_avx2.cpp

FrameDigest frame_digest(ByteView frame) {
  if (frame.empty()) return 0;
  if (simd_level() == SimdLevel::avx2) return frame_digest_avx2(frame);
  return XXH3_64bits(frame.data(), frame.size());
}

}  // namespace nimbra
