#pragma once
// The main encoder and the rules for replacing it. An encoder that cannot
// force a key frame is replaced by a new one, whose first picture is a key
// frame, at most once every 2 s. A failed encode also means a new encoder,
// five times within 60 s at the most.
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "capture/diagnostics.h"
#include "codec/h264_encoder.h"
#include "sys/clock.h"

namespace nimbra {

class EncoderKeeper {
 public:
  static constexpr Duration kKeyRebuildSpacing = 2s;
  static constexpr std::size_t kFailureBudget = 5;
  static constexpr Duration kFailureWindow = 60s;

  EncoderKeeper(EncoderFactory create, const EncoderSettings& settings, Clock& clock, DiagnosticSink diagnostic);

  // Makes the first encoder.
  Status start();

  // Before a picture that must be a key frame. True: the next encode gives
  // one. False: hold the picture, the last replacement for a key frame is
  // too recent. An error: the replacement failed.
  Result<bool> prepare_key_frame();

  enum class Failure {
    replaced,  // the encoder was made anew; ask it for a key frame
    gave_up,   // the budget is spent, or the new encoder could not be made
  };
  // Encodes one picture of the output size, NV12 or BGRA; of a BGRA one,
  // `changed` holds the rows that may differ from the last BGRA picture.
  std::expected<Chunks, Failure> encode(ByteView picture, bool nv12, bool force_key,
                                        RowSpan changed = RowSpan::all());

 private:
  EncoderFactory create_;
  EncoderSettings settings_;
  Clock& clock_;
  DiagnosticSink diagnostic_;
  std::unique_ptr<H264Encoder> encoder_;
  std::optional<Instant> last_key_rebuild_;
  std::vector<Instant> failures_;
};

}  // namespace nimbra
