#pragma once
// The low layer's encoder. Its decisions live in LowEncoder, driven one event
// at a time (a frame, a receive timeout), so they are tested without threads;
// start_encoder_thread puts it behind the LowLink channels on its own thread.
#include <cstdint>
#include <memory>

#include "capture/control_flags.h"
#include "capture/diagnostics.h"
#include "capture/low_link.h"
#include "cli/command_line.h"
#include "codec/h264_encoder.h"
#include "sys/clock.h"
#include "wire/message_writer.h"

namespace nimbra {

class LowEncoder {
 public:
  // Five consecutive failures switch the layer off for the rest of the process.
  static constexpr std::uint32_t kFailureLimit = 5;

  LowEncoder(const LowSettings& settings, const ControlFlags& flags, MessageWriter& writer,
             EncoderFactory create_encoder, DiagnosticSink diagnostic);

  // Encodes the frame when the host wants the layer; gives the pixel buffer back.
  Bytes on_frame(LowFrame frame);
  // No frame within the receive timeout: an unwanted encoder is let go.
  void on_timeout();

  bool has_encoder() const { return encoder_ != nullptr; }

 private:
  Result<Chunks> encode(const LowFrame& frame, bool force_key);

  LowSettings settings_;
  const ControlFlags& flags_;
  MessageWriter& writer_;
  EncoderFactory create_encoder_;
  DiagnosticSink diagnostic_;
  std::unique_ptr<H264Encoder> encoder_;
  std::uint32_t failures_ = 0;
};

inline constexpr Duration kLowReceiveTimeout = 500ms;

// Runs a LowEncoder until the frame channel closes.
void run_encoder_thread(LowEncoder& encoder, Receiver<LowFrame> frames, Sender<Bytes> returned);

// Starts the encoder thread (detached) and returns the loop's end of its channels.
LowLink start_encoder_thread(const LowSettings& settings, const ControlFlags& flags, MessageWriter& writer,
                             EncoderFactory create_encoder, DiagnosticSink diagnostic);

}  // namespace nimbra
