// H.264 decoding on Linux with libavcodec, shaped like the Windows decoder
// transform from the outside: each picture is handed over as NV12 at its
// coded (macroblock-aligned) size with a stride, the display size is chosen
// at the first picture and at every change of coded size, and at most eight
// pictures come out per access unit.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include <cstring>
#include <optional>
#include <string>

#include "pixels/nv12_to_rgba.h"
#include "platform/codecs.h"
#include "watch/display_size.h"

namespace nimbra::platform {
namespace {

constexpr std::size_t kMaxPicturesPerInput = 8;

std::string av_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

class AvcodecDecoder final : public H264Decoder {
 public:
  AvcodecDecoder(std::vector<Size> sizes, AVCodecContext* context)
      : sizes_(std::move(sizes)), context_(context), packet_(av_packet_alloc()), frame_(av_frame_alloc()),
        display_(sizes_.front()) {}
  ~AvcodecDecoder() override {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
  }
  bool ready() const { return packet_ != nullptr && frame_ != nullptr; }

  Result<std::vector<Bytes>> decode(ByteView unit) override {
    if (av_new_packet(packet_, static_cast<int>(unit.size())) < 0) return fail("input: out of memory");
    std::memcpy(packet_->data, unit.data(), unit.size());
    packet_->pts = pts_++;
    std::vector<Bytes> pictures;
    int sent = avcodec_send_packet(context_, packet_);
    // A decoder that still holds pictures takes the input once they are out;
    // the input is never dropped, even if that means more than the usual
    // number of pictures for this call.
    while (sent == AVERROR(EAGAIN)) {
      const std::size_t before = pictures.size();
      if (auto drained = drain(pictures, before + 1); !drained) return fail(drained.error());
      if (pictures.size() == before) break;
      sent = avcodec_send_packet(context_, packet_);
    }
    av_packet_unref(packet_);
    // Damaged input is skipped as the Windows decoder skips it; anything
    // else ends the session.
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
      return fail("input: " + av_text(sent));
    }
    if (auto drained = drain(pictures, kMaxPicturesPerInput); !drained) return fail(drained.error());
    return pictures;
  }

  Size display_size() const override { return display_; }

 private:
  Status drain(std::vector<Bytes>& pictures, std::size_t limit) {
    while (pictures.size() < limit) {
      const int got = avcodec_receive_frame(context_, frame_);
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return {};
      if (got < 0) return fail("output: " + av_text(got));
      auto picture = convert();
      av_frame_unref(frame_);
      if (!picture) return fail(picture.error());
      pictures.push_back(std::move(*picture));
    }
    return {};
  }

  // Cropping is left to us, so the frame is the whole coded picture.
  Result<Bytes> convert() {
    const auto width = static_cast<std::uint32_t>(frame_->width);
    const auto height = static_cast<std::uint32_t>(frame_->height);
    if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) return fail("invalid stride or size");
    const Size coded{width, height};
    if (!coded_ || !(*coded_ == coded)) {
      auto chosen = choose_display_size(sizes_, coded);
      if (!chosen) return fail(chosen.error());
      display_ = *chosen;
      coded_ = coded;
    }
    if (auto packed = pack_nv12(); !packed) return fail(packed.error());
    Bytes rgba;
    if (auto s = nv12_to_rgba(nv12_, display_.width, display_.height, width, rgba); !s) return fail(s.error());
    return rgba;
  }

  Status pack_nv12() {
    const std::size_t w = static_cast<std::size_t>(frame_->width), h = static_cast<std::size_t>(frame_->height);
    nv12_.resize(w * h * 3 / 2);
    for (std::size_t r = 0; r < h; ++r) {
      std::memcpy(nv12_.data() + r * w, frame_->data[0] + r * static_cast<std::size_t>(frame_->linesize[0]), w);
    }
    std::uint8_t* uv = nv12_.data() + w * h;
    const auto format = static_cast<AVPixelFormat>(frame_->format);
    if (format == AV_PIX_FMT_NV12) {
      for (std::size_t r = 0; r < h / 2; ++r) {
        std::memcpy(uv + r * w, frame_->data[1] + r * static_cast<std::size_t>(frame_->linesize[1]), w);
      }
      return {};
    }
    if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) {
      return fail("NV12 output unavailable");
    }
    for (std::size_t r = 0; r < h / 2; ++r) {
      const std::uint8_t* u = frame_->data[1] + r * static_cast<std::size_t>(frame_->linesize[1]);
      const std::uint8_t* v = frame_->data[2] + r * static_cast<std::size_t>(frame_->linesize[2]);
      std::uint8_t* row = uv + r * w;
      for (std::size_t c = 0; c < w / 2; ++c) {
        row[2 * c] = u[c];
        row[2 * c + 1] = v[c];
      }
    }
    return {};
  }

  std::vector<Size> sizes_;
  AVCodecContext* context_;
  AVPacket* packet_;
  AVFrame* frame_;
  Size display_;
  std::optional<Size> coded_;
  Bytes nv12_;
  std::int64_t pts_ = 0;
};

}  // namespace

Result<std::unique_ptr<H264Decoder>> open_h264_decoder(const std::vector<Size>& sizes) {
  if (sizes.empty()) return fail("decoder unavailable");
  // libavcodec reports damaged slices on standard error by itself; in watch
  // mode that stream belongs to the program alone, and the status says enough.
  av_log_set_level(AV_LOG_QUIET);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return fail("decoder unavailable");
  AVCodecContext* context = avcodec_alloc_context3(codec);
  if (context == nullptr) return fail("decoder activation failed");
  context->width = static_cast<int>(sizes.front().width);
  context->height = static_cast<int>(sizes.front().height);
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  context->thread_count = 1;
  context->apply_cropping = 0;
  if (const int opened = avcodec_open2(context, codec, nullptr); opened < 0) {
    avcodec_free_context(&context);
    return fail("decoder activation failed");
  }
  auto decoder = std::make_unique<AvcodecDecoder>(sizes, context);
  if (!decoder->ready()) return fail("decoder activation failed");
  return std::unique_ptr<H264Decoder>(std::move(decoder));
}

}  // namespace nimbra::platform
