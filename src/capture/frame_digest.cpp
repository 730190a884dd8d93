#include "capture/frame_digest.h"

#include <algorithm>

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

FrameDigest BandedDigest::update(ByteView frame, std::size_t row_bytes, RowSpan changed) {
  if (frame.empty() || row_bytes == 0) return 0;
  const std::size_t band_bytes = row_bytes * kBandRows, count = (frame.size() + band_bytes - 1) / band_bytes;
  if (frame.size() != frame_bytes_ || row_bytes != row_bytes_) {
    bands_.assign(count, 0);
    frame_bytes_ = frame.size();
    row_bytes_ = row_bytes;
    changed = RowSpan::all();
  }
  const std::size_t end = std::min<std::size_t>(count, (std::size_t{changed.end} + kBandRows - 1) / kBandRows);
  for (std::size_t band = changed.first / kBandRows; band < end; ++band) {
    bands_[band] = frame_digest(frame.subspan(band * band_bytes, std::min(band_bytes, frame.size() - band * band_bytes)));
  }
  return frame_digest({reinterpret_cast<const std::uint8_t*>(bands_.data()), bands_.size() * sizeof(FrameDigest)});
}

}  // namespace nimbra
