#pragma once
// One H.264 encoder of a fixed size. Each call takes one NV12 picture and
// returns what the encoder produced for it (often one chunk, sometimes none).
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

struct EncodedChunk {
  bool key = false;  // an IDR picture; such a chunk carries its SPS and PPS
  Bytes data;        // Annex-B, exactly as the encoder produced it
};

using Chunks = std::vector<EncodedChunk>;

struct EncoderSettings {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t fps = 0;
  std::uint32_t bitrate = 0;
};

class H264Encoder {
 public:
  virtual ~H264Encoder() = default;
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  virtual bool force_key_supported() const = 0;

  // The NV12 picture encoded next: width * height * 3 / 2 bytes.
  MutableBytes staging() { return staging_; }

  // Copies an exact-size NV12 picture into staging and encodes it.
  Result<Chunks> encode_nv12(ByteView picture, bool force_key);
  // Converts a BGRA image of the encoder's size into staging and encodes it.
  // When staging holds the last image converted here, only the rows
  // `changed` (those that may differ from it) are converted again.
  Result<Chunks> encode_bgra(ByteView image, std::uint32_t width, std::uint32_t height, bool force_key,
                             RowSpan changed = RowSpan::all());
  // Encodes what staging holds.
  virtual Result<Chunks> encode_staged(bool force_key) = 0;

 protected:
  H264Encoder(std::uint32_t width, std::uint32_t height);

 private:
  std::uint32_t width_;
  std::uint32_t height_;
  Bytes staging_;
  bool staged_bgra_ = false;  // staging holds the last BGRA image converted
};

using EncoderFactory = std::function<Result<std::unique_ptr<H264Encoder>>(const EncoderSettings&)>;

}  // namespace nimbra
