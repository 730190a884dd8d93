#include "codec/h264_encoder.h"

#include <algorithm>
#include <string>

#include "pixels/bgra_to_nv12.h"

namespace nimbra {

H264Encoder::H264Encoder(std::uint32_t width, std::uint32_t height)
    : width_(width), height_(height), staging_(std::size_t{width} * height * 3 / 2, 0) {}

Result<Chunks> H264Encoder::encode_nv12(ByteView picture, bool force_key) {
  if (picture.size() != staging_.size()) {
    return fail("NV12: " + std::to_string(picture.size()) + " байт вместо " + std::to_string(staging_.size()));
  }
  std::copy(picture.begin(), picture.end(), staging_.begin());
  staged_bgra_ = false;
  return encode_staged(force_key);
}

Result<Chunks> H264Encoder::encode_bgra(ByteView image, std::uint32_t width, std::uint32_t height, bool force_key,
                                        RowSpan changed) {
  bgra_to_nv12(image, width, height, staging_, staged_bgra_ ? changed : RowSpan::all());
  staged_bgra_ = true;
  return encode_staged(force_key);
}

}  // namespace nimbra
