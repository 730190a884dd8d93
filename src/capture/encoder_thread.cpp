#include "capture/encoder_thread.h"

#include <string>
#include <thread>
#include <utility>
#include <variant>

#include "pixels/bgra_to_nv12.h"
#include "wire/handshake.h"

namespace nimbra {

LowEncoder::LowEncoder(const LowSettings& settings, const ControlFlags& flags, MessageWriter& writer,
                       EncoderFactory create_encoder, DiagnosticSink diagnostic)
    : settings_(settings),
      flags_(flags),
      writer_(writer),
      create_encoder_(std::move(create_encoder)),
      diagnostic_(std::move(diagnostic)) {}

void LowEncoder::on_timeout() {
  if (!flags_.low_enabled.load()) encoder_.reset();
}

Bytes LowEncoder::on_frame(LowFrame frame) {
  if (!flags_.low_enabled.load() || failures_ >= kFailureLimit) {
    encoder_.reset();
    return std::move(frame.pixels);
  }
  bool force_key = frame.key_request;
  // Without a way to force a key frame, a fresh encoder is the key frame.
  if (encoder_ && force_key && !encoder_->force_key_supported()) encoder_.reset();
  if (!encoder_) {
    force_key = false;
    Result<std::unique_ptr<H264Encoder>> created =
        create_encoder_({settings_.width, settings_.height, settings_.fps, settings_.bitrate});
    if (!created) {
      diagnostic_("[capture] облегчённый энкодер: " + created.error());
      if (failures_ >= kFailureLimit - 1) {
        const std::string json = low_error_json(created.error());
        writer_.write(MessageKind::Json, ByteView(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
      }
      ++failures_;
      return std::move(frame.pixels);
    }
    encoder_ = std::move(*created);
  }
  Result<Chunks> chunks = encode(frame, force_key);
  if (chunks) {
    for (const EncodedChunk& chunk : *chunks) {
      writer_.write(chunk.key ? MessageKind::LowKey : MessageKind::LowDelta, chunk.data);
    }
    failures_ = 0;
  } else {
    diagnostic_("[capture] облегчённый encode: " + chunks.error());
    encoder_.reset();
    ++failures_;
  }
  return std::move(frame.pixels);
}

Result<Chunks> LowEncoder::encode(const LowFrame& frame, bool force_key) {
  const std::uint32_t w = settings_.width, h = settings_.height;
  const std::size_t area = std::size_t{w} * h;
  // NV12 or BGRA of the low size; any other frame repeats the previous picture.
  if (frame.width == w && frame.height == h) {
    if (frame.pixels.size() == area * 3 / 2) return encoder_->encode_nv12(frame.pixels, force_key);
    if (frame.pixels.size() == area * 4) bgra_to_nv12(frame.pixels, w, h, encoder_->staging());
  }
  return encoder_->encode_staged(force_key);
}

void run_encoder_thread(LowEncoder& encoder, Receiver<LowFrame> frames, Sender<Bytes> returned) {
  for (;;) {
    auto received = frames.receive_for(kLowReceiveTimeout);
    if (LowFrame* frame = std::get_if<LowFrame>(&received)) {
      (void)returned.try_send(encoder.on_frame(std::move(*frame)));
    } else if (std::holds_alternative<TimedOut>(received)) {
      encoder.on_timeout();
    } else {
      return;
    }
  }
}

LowLink start_encoder_thread(const LowSettings& settings, const ControlFlags& flags, MessageWriter& writer,
                             EncoderFactory create_encoder, DiagnosticSink diagnostic) {
  Channel<LowFrame> frames = make_channel<LowFrame>(1);
  Channel<Bytes> returned = make_unbounded_channel<Bytes>();
  auto encoder = std::make_unique<LowEncoder>(settings, flags, writer, std::move(create_encoder),
                                              std::move(diagnostic));
  std::thread(
      [](std::unique_ptr<LowEncoder> low, Receiver<LowFrame> rx, Sender<Bytes> tx) {
        run_encoder_thread(*low, std::move(rx), std::move(tx));
      },
      std::move(encoder), std::move(frames.receiver), std::move(returned.sender))
      .detach();
  return LowLink{std::move(frames.sender), std::move(returned.receiver), {settings.width, settings.height}};
}

}  // namespace nimbra
