#include "capture/session.h"

#include <string>
#include <utility>

#include "capture/frame_digest.h"
#include "capture/gpu_conversion.h"
#include "capture/source_fallback.h"
#include "wire/handshake.h"

namespace nimbra {
namespace {

std::string size_text(Size size) { return std::to_string(size.width) + "×" + std::to_string(size.height); }

std::size_t nv12_bytes(Size size) { return std::size_t{size.width} * size.height * 3 / 2; }
std::size_t bgra_bytes(Size size) { return std::size_t{size.width} * size.height * 4; }

}  // namespace

CaptureSession::CaptureSession(const CaptureSettings& settings, SessionPorts ports)
    : settings_(settings), ports_(std::move(ports)), size_{settings.width, settings.height} {}

int CaptureSession::run() {
  if (std::optional<int> ended = start()) return *ended;
  for (;;) {
    if (std::optional<int> ended = iterate()) return *ended;
  }
}

std::optional<int> CaptureSession::start() {
  start_helpers();
  Result<std::unique_ptr<CaptureSource>> source = open_source();
  if (!source) return kExitNoSource;
  source_ = std::move(*source);

  encoder_.emplace(ports_.create_encoder, EncoderSettings{size_.width, size_.height, settings_.fps, settings_.bitrate},
                   ports_.clock, ports_.diagnostic);
  if (Status made = encoder_->start(); !made) {
    ports_.diagnostic("[capture] энкодер: " + made.error());
    send_error(ports_.writer, made.error());
    return kExitNoEncoder;
  }
  scaled_.assign(bgra_bytes(size_), 0);
  gpu_check_pending_ = env("NIMBRA_GPU_CHECK");
  choose_conversion_path();
  pacer_.emplace(settings_.fps, source_->waits_for_change(), ports_.clock);
  return std::nullopt;
}

void CaptureSession::start_helpers() {
  SessionStarters& start = ports_.start;
  if (settings_.parent_pid != 0 && start.parent_watchdog) start.parent_watchdog(settings_.parent_pid);
  if (start.stdin_reader) start.stdin_reader();
  if (start.handshake) start.handshake();
  if (settings_.audio && start.audio) start.audio();
  if (settings_.low && start.encoder_thread) {
    low_.emplace(start.encoder_thread(*settings_.low), settings_.low->fps, ports_.clock);
  }
  previews_.emplace(start.preview_writer ? start.preview_writer() : PreviewSender{}, ports_.clock);
}

Result<std::unique_ptr<CaptureSource>> CaptureSession::open_source() {
  const SourceOpeners& open = ports_.sources;
  if (settings_.source.screen) {
    return open_with_fallback(open.screen, open.screen_fallback, kScreenFallback, ports_.diagnostic);
  }
  const std::int64_t window = settings_.source.window;
  return open_with_fallback([&] { return open.window(window); }, [&] { return open.window_fallback(window); },
                            kWindowFallback, ports_.diagnostic);
}

void CaptureSession::choose_conversion_path() {
  GpuConversion* gpu = source_->gpu();
  if (gpu == nullptr || env("NIMBRA_GPU_OFF")) return;
  std::optional<Size> second;
  if (low_) second = low_->size();
  if (Status enabled = gpu->enable(size_, second); !enabled) {
    ports_.diagnostic("[capture] GPU-конверсия недоступна (" + enabled.error() + ") — CPU-путь");
    return;
  }
  ports_.diagnostic("[capture] GPU-конверсия: " + size_text(gpu->source_size()) + " → " + size_text(size_) +
                    " NV12");
}

std::optional<int> CaptureSession::iterate() {
  ControlFlags& flags = ports_.flags;
  const Instant t0 = ports_.clock.now();
  if (!source_->alive()) return kExitOrderly;

  const bool low_on = low_ && flags.low_enabled.load();
  const bool key_wanted = flags.main_key_request.load() || (low_on && flags.low_key_request.load());
  GpuConversion* gpu = source_->gpu();
  if (gpu != nullptr && !gpu->enabled()) gpu = nullptr;  // the CPU path from here on
  Bytes* second = gpu != nullptr && low_on ? &low_nv12_ : nullptr;

  Result<bool> grabbed = grab(gpu, second);
  if (!grabbed) {
    ++grab_failures_;
    ports_.diagnostic("[capture] grab (" + std::to_string(grab_failures_) + "): " + grabbed.error());
    if (grab_failures_ >= kGrabFailureLimit) return kExitOrderly;
    ports_.clock.sleep_for(kGrabFailurePause);
    return std::nullopt;
  }
  grab_failures_ = 0;
  if (*grabbed) {
    pacer_->new_image();
  } else if (key_wanted && last_path_ == (gpu != nullptr ? Path::gpu : Path::cpu)) {
    // Nothing new, but a key frame is wanted: the last picture goes again.
    if (gpu != nullptr) {
      if (Status repeated = gpu->repeat(nv12_, second); !repeated) {
        ports_.diagnostic("[capture] GPU-повтор кадра: " + repeated.error());
      }
    }
  } else {
    pacer_->end_iteration(t0);
    return std::nullopt;
  }
  return encode_frame(t0, gpu, second != nullptr);
}

Result<bool> CaptureSession::grab(GpuConversion* gpu, Bytes* second) {
  if (gpu != nullptr) {
    scaler_.reset();
    Result<bool> converted = gpu->convert(nv12_, second, pacer_->wait_ms());
    if (converted && *converted) digest_value_ = digest_.update(nv12_, size_.width, RowSpan::all());
    return converted;
  }
  Result<std::optional<BgraFrame>> frame = source_->grab(pacer_->wait_ms());
  if (!frame) return fail(frame.error());
  if (!*frame) return false;
  const BgraFrame& image = **frame;
  // A source that shrank to nothing has no image to scale.
  if (image.size.width == 0 || image.size.height == 0) {
    scaler_.reset();
    return false;
  }
  RowSpan changed = image.changed;
  if (!scaler_ || !scaler_->has_sizes(image.size.width, image.size.height, size_.width, size_.height)) {
    scaler_.emplace(image.size.width, image.size.height, size_.width, size_.height);
    changed = RowSpan::all();
  }
  const RowSpan written = scaler_->scale(image.pixels, scaled_, changed);
  digest_value_ = digest_.update(scaled_, std::size_t{size_.width} * 4, written);
  unconverted_ = unconverted_.joined(written);
  return true;
}

std::optional<int> CaptureSession::encode_frame(Instant t0, GpuConversion* gpu, bool second_requested) {
  ControlFlags& flags = ports_.flags;
  const bool use_gpu = gpu != nullptr;
  if (use_gpu) {
    if (nv12_.size() != nv12_bytes(size_)) return std::nullopt;
    if (gpu_check_pending_ && ports_.gpu_check) ports_.gpu_check(*gpu, nv12_, size_);
    gpu_check_pending_ = false;
  }
  last_path_ = use_gpu ? Path::gpu : Path::cpu;
  const ByteView picture = use_gpu ? ByteView(nv12_) : ByteView(scaled_);
  previews_->offer(picture, size_, use_gpu);

  const bool force_key = flags.main_key_request.exchange(false);
  if (force_key) {
    Result<bool> ready = encoder_->prepare_key_frame();
    if (!ready) {
      send_error(ports_.writer, ready.error());
      return kExitOrderly;
    }
    if (!*ready) {
      flags.main_key_request.store(true);
      ports_.clock.sleep_for(kKeyHold);
      return std::nullopt;
    }
  }
  const bool low_on = low_ && flags.low_enabled.load();
  const bool low_key = flags.low_key_request.load();
  const FrameDigest digest = digest_value_;
  if (unchanged_.skip(digest, force_key || (low_on && low_key))) {
    pacer_->end_iteration(t0);
    return std::nullopt;
  }
  if (low_on) feed_low_layer(use_gpu, second_requested, low_key);

  std::expected<Chunks, EncoderKeeper::Failure> chunks =
      encoder_->encode(picture, use_gpu, force_key, std::exchange(unconverted_, {}));
  if (chunks) {
    for (const EncodedChunk& chunk : *chunks) {
      ports_.writer.write(chunk.key ? MessageKind::MainKey : MessageKind::MainDelta, chunk.data);
    }
    unchanged_.encoded(digest);
  } else if (chunks.error() == EncoderKeeper::Failure::replaced) {
    flags.main_key_request.store(true);
    unchanged_.forget();
  } else {
    return kExitOrderly;
  }
  pacer_->end_iteration(t0);
  return std::nullopt;
}

void CaptureSession::feed_low_layer(bool use_gpu, bool second_requested, bool key_request) {
  bool handed = false;
  if (!use_gpu) {
    // Scaled down here, into the buffer handed over: a quarter of the bytes to copy or keep.
    const Size low = low_->size();
    if (!low_scaler_ || !low_scaler_->has_sizes(size_.width, size_.height, low.width, low.height)) {
      low_scaler_.emplace(size_.width, size_.height, low.width, low.height);
    }
    handed = low_->offer(low, bgra_bytes(low), key_request, [&](MutableBytes out) { low_scaler_->scale(scaled_, out); });
  } else if (second_requested && low_nv12_.size() == nv12_bytes(low_->size())) {
    handed = low_->offer(low_nv12_, low_->size(), key_request);
  }
  if (handed && key_request) ports_.flags.low_key_request.store(false);
}

}  // namespace nimbra
