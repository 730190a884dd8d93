#include "capture/frame_digest.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace nimbra {

FrameDigest frame_digest(ByteView frame) {
  if (frame.empty()) return 0;
  return XXH3_64bits(frame.data(), frame.size());
}

}  // namespace nimbra
