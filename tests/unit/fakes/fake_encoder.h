#pragma once
// An H.264 encoder that records what it was asked to encode. Every encoder
// made by one factory shares one log, so tests see re-creations.
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/frame_digest.h"
#include "codec/h264_encoder.h"
#include "sys/clock.h"

namespace nimbra::testing {

struct EncoderLog {
  struct Encode {
    Instant at{};
    bool force_key = false;
    FrameDigest digest = 0;
  };
  Clock* clock = nullptr;
  bool force_key_supported = true;
  std::function<std::string(int attempt)> create_error;     // empty text: success
  std::function<std::string(std::size_t index)> encode_error;
  int created = 0, create_attempts = 0;
  std::size_t encode_calls = 0;
  std::vector<Instant> created_at;
  std::vector<EncoderSettings> settings;
  std::vector<Encode> encodes;
  Instant now() const { return clock ? clock->now() : Instant{}; }
};

class FakeEncoder final : public H264Encoder {
 public:
  FakeEncoder(EncoderLog& log, const EncoderSettings& s) : H264Encoder(s.width, s.height), log_(log) {}
  bool force_key_supported() const override { return log_.force_key_supported; }
  Result<Chunks> encode_staged(bool force_key) override {
    const std::size_t index = log_.encode_calls++;
    if (std::string error = log_.encode_error ? log_.encode_error(index) : ""; !error.empty()) return fail(error);
    const bool key = std::exchange(first_, false) || (force_key && log_.force_key_supported);
    log_.encodes.push_back({log_.now(), force_key, frame_digest(staging())});
    return Chunks{EncodedChunk{key, Bytes{static_cast<std::uint8_t>(log_.encodes.size())}}};
  }

 private:
  EncoderLog& log_;
  bool first_ = true;
};

inline EncoderFactory fake_encoder_factory(EncoderLog& log) {
  return [&log](const EncoderSettings& s) -> Result<std::unique_ptr<H264Encoder>> {
    ++log.create_attempts;
    log.settings.push_back(s);
    if (std::string error = log.create_error ? log.create_error(log.create_attempts) : ""; !error.empty()) return fail(error);
    ++log.created;
    log.created_at.push_back(log.now());
    return std::unique_ptr<H264Encoder>(new FakeEncoder(log, s));
  };
}

}  // namespace nimbra::testing
