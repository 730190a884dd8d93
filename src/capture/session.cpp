#include "capture/session.h"

#include <algorithm>
#include <string>
#include <utility>

#include "pixels/area_scale.h"
#include "pixels/preview.h"
#include "wire/handshake.h"

namespace nimbra {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

bool paced_by_loop(SourceKind kind) { return kind != SourceKind::DesktopDuplication; }

}  // namespace

CaptureSession::CaptureSession(const CaptureSettings& settings, SessionPorts ports)
    : settings_(settings), ports_(std::move(ports)) {}

int CaptureSession::run() {
  if (std::optional<int> ended = start()) return *ended;
  for (;;) {
    if (std::optional<int> ended = iterate()) return *ended;
  }
}

std::optional<int> CaptureSession::start() {
  SessionStarters& start = ports_.start;
  if (settings_.parent_pid != 0 && start.parent_watchdog) start.parent_watchdog(settings_.parent_pid);
  if (start.stdin_reader) start.stdin_reader();
  if (start.handshake) start.handshake();
  if (settings_.audio && start.audio) start.audio();
  if (settings_.low && start.encoder_thread) low_link_ = start.encoder_thread(*settings_.low);
  if (start.preview_writer) preview_sender_ = start.preview_writer();
  last_preview_ = ports_.clock.now() - 1s;

  if (std::optional<int> failed = open_source()) return failed;

  Result<std::unique_ptr<H264Encoder>> encoder = create_encoder();
  if (!encoder) {
    ports_.diagnostic("[capture] энкодер: " + encoder.error());
    send_error(ports_.writer, encoder.error());
    return kExitNoEncoder;
  }
  encoder_ = std::move(*encoder);

  scaled_.assign(std::size_t{settings_.width} * settings_.height * 4, 0);
  nv12_size_ = std::size_t{settings_.width} * settings_.height * 3 / 2;
  gpu_check_pending_ = ports_.env_present && ports_.env_present("NIMBRA_GPU_CHECK");
  choose_conversion_path();

  interval_ = Duration(kNanosPerSecond / std::max<std::uint32_t>(settings_.fps, 1));
  wait_ms_ = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(interval_).count());
  const Instant now = ports_.clock.now();
  next_due_ = now;
  last_rebuild_ = now - 3s;
  source_kind_ = source_->kind();
  return std::nullopt;
}

std::optional<int> CaptureSession::open_source() {
  const SourceOpeners& open = ports_.sources;
  if (settings_.source.screen) {
    Result<std::unique_ptr<CaptureSource>> source = open.screen();
    if (!source) {
      ports_.diagnostic("[capture] дубликация недоступна (" + source.error() + ") — GDI-фолбэк");
      source = open.screen_fallback();
      if (!source) {
        ports_.diagnostic("[capture] GDI тоже: " + source.error());
        return kExitNoSource;
      }
    }
    source_ = std::move(*source);
  } else {
    const std::int64_t window = settings_.source.window;
    Result<std::unique_ptr<CaptureSource>> source = open.window(window);
    if (!source) {
      ports_.diagnostic("[capture] WGC недоступен (" + source.error() + ") — PrintWindow-фолбэк");
      source = open.window_fallback(window);
      if (!source) {
        ports_.diagnostic("[capture] окно: " + source.error());
        return kExitNoSource;
      }
    }
    source_ = std::move(*source);
  }
  return std::nullopt;
}

void CaptureSession::choose_conversion_path() {
  if (source_->kind() != SourceKind::DesktopDuplication) return;
  if (ports_.env_present && ports_.env_present("NIMBRA_GPU_OFF")) return;
  std::optional<Size> second;
  if (low_link_) second = low_link_->size;
  Status enabled = source_->enable_gpu({settings_.width, settings_.height}, second);
  if (enabled) {
    ports_.diagnostic("[capture] GPU-конверсия: " + std::to_string(source_->width()) + "×" +
                      std::to_string(source_->height()) + " → " + std::to_string(settings_.width) + "×" +
                      std::to_string(settings_.height) + " NV12");
  } else {
    ports_.diagnostic("[capture] GPU-конверсия недоступна (" + enabled.error() + ") — CPU-путь");
  }
}

Result<std::unique_ptr<H264Encoder>> CaptureSession::create_encoder() {
  return ports_.create_encoder({settings_.width, settings_.height, settings_.fps, settings_.bitrate});
}

Size CaptureSession::source_size() const {
  return {static_cast<std::uint32_t>(std::max(source_->width(), 0)),
          static_cast<std::uint32_t>(std::max(source_->height(), 0))};
}

bool CaptureSession::last_image_usable(bool use_gpu) const {
  if (use_gpu) return gpu_frame_valid_;
  const Size size = source_size();
  return grab_buffer_.size() == std::size_t{size.width} * size.height * 4;
}

void CaptureSession::pace(Instant t0) {
  if (!paced_by_loop(source_kind_)) return;
  const Duration spent = ports_.clock.now() - t0;
  if (spent < interval_) ports_.clock.sleep_for(interval_ - spent);
}

std::optional<int> CaptureSession::iterate() {
  Clock& clock = ports_.clock;
  ControlFlags& flags = ports_.flags;
  const Instant t0 = clock.now();
  if (!source_->alive()) return kExitOrderly;

  const bool low_on = low_link_ && flags.low_enabled.load();
  const bool key_wanted = flags.main_key_request.load() || (low_on && flags.low_key_request.load());
  const bool use_gpu = source_kind_ == SourceKind::DesktopDuplication && source_->gpu_active();
  Bytes* second = use_gpu && low_on ? &low_nv12_ : nullptr;

  Result<bool> grabbed = source_->grab_frame(use_gpu, grab_buffer_, nv12_, second, wait_ms_);
  if (!grabbed) {
    ++grab_failures_;
    ports_.diagnostic("[capture] grab (" + std::to_string(grab_failures_) + "): " + grabbed.error());
    if (grab_failures_ >= kGrabFailureLimit) return kExitOrderly;
    clock.sleep_for(kGrabFailurePause);
    return std::nullopt;
  }
  grab_failures_ = 0;

  if (*grabbed) {
    clock.sleep_until(next_due_);
    const Instant now = clock.now();
    next_due_ = next_due_ + interval_ > now ? next_due_ + interval_ : now + interval_;
  } else {
    // Nothing new: only a waiting key request makes the last image worth encoding again.
    if (!(key_wanted && frames_done_ != 0 && last_image_usable(use_gpu))) {
      pace(t0);
      return std::nullopt;
    }
    if (use_gpu) {
      if (Status repeated = source_->gpu_repeat(nv12_, second); !repeated) {
        ports_.diagnostic("[capture] GPU-повтор кадра: " + repeated.error());
      }
    }
  }
  return process_frame(t0, use_gpu, second != nullptr);
}

std::optional<int> CaptureSession::process_frame(Instant t0, bool use_gpu, bool low_requested) {
  Clock& clock = ports_.clock;
  ControlFlags& flags = ports_.flags;
  const std::uint32_t width = settings_.width, height = settings_.height;

  if (use_gpu) {
    if (nv12_.size() != nv12_size_) return std::nullopt;
    if (gpu_check_pending_) {
      if (ports_.gpu_check) ports_.gpu_check(*source_, nv12_, width, height);
      gpu_check_pending_ = false;
    }
    gpu_frame_valid_ = true;
  } else {
    const Size size = source_size();
    gpu_frame_valid_ = false;
    // A source that shrank to nothing has no image to scale.
    if (size.width == 0 || size.height == 0) {
      pace(t0);
      return std::nullopt;
    }
    if (grab_buffer_.size() != std::size_t{size.width} * size.height * 4) return std::nullopt;
    area_scale(grab_buffer_, size.width, size.height, scaled_, width, height);
  }
  const Bytes& frame = use_gpu ? nv12_ : scaled_;

  if (preview_sender_ && clock.now() - last_preview_ >= kPreviewPeriod) {
    Bytes preview(kPreviewBytes);
    if (use_gpu) {
      preview_from_nv12(frame, width, height, preview);
    } else {
      preview_from_bgra(frame, width, height, preview);
    }
    offer_preview(preview_sender_, std::move(preview));
    last_preview_ = clock.now();
  }

  const bool force_key = flags.main_key_request.exchange(false);
  ++frames_done_;
  if (force_key && !encoder_->force_key_supported()) {
    if (clock.now() - last_rebuild_ < kRebuildSpacing) {
      flags.main_key_request.store(true);
      clock.sleep_for(kKeyHold);
      return std::nullopt;
    }
    Result<std::unique_ptr<H264Encoder>> rebuilt = create_encoder();
    if (!rebuilt) {
      send_error(ports_.writer, rebuilt.error());
      return kExitOrderly;
    }
    encoder_ = std::move(*rebuilt);
    last_rebuild_ = clock.now();
  }

  const bool low_on = low_link_ && flags.low_enabled.load();
  const bool low_key = flags.low_key_request.load();
  const bool low_key_wanted = low_on && low_key;

  const FrameDigest digest = frame_digest(frame);
  if (digest == last_digest_ && !force_key && unchanged_ < kUnchangedLimit && !low_key_wanted) {
    ++unchanged_;
    pace(t0);
    return std::nullopt;
  }

  if (low_on) low_step(use_gpu, low_requested, low_key);

  Result<Chunks> chunks =
      use_gpu ? encoder_->encode_nv12(frame, force_key) : encoder_->encode_bgra(frame, width, height, force_key);
  if (chunks) {
    write_chunks(*chunks);
    last_digest_ = digest;
  } else {
    ports_.diagnostic("[capture] encode: " + chunks.error());
    const Instant now = clock.now();
    std::erase_if(encode_failures_, [&](Instant t) { return now - t >= kEncodeFailureWindow; });
    if (encode_failures_.size() >= kEncodeFailureBudget) return kExitOrderly;
    encode_failures_.push_back(now);
    Result<std::unique_ptr<H264Encoder>> rebuilt = create_encoder();
    if (!rebuilt) {
      ports_.diagnostic("[capture] энкодер не пересоздан: " + rebuilt.error());
      return kExitOrderly;
    }
    encoder_ = std::move(*rebuilt);
    flags.main_key_request.store(true);
    last_digest_ = kNoDigest;
  }
  pace(t0);
  unchanged_ = 0;
  return std::nullopt;
}

void CaptureSession::low_step(bool use_gpu, bool low_requested, bool low_key) {
  Clock& clock = ports_.clock;
  LowLink& link = *low_link_;
  const Duration low_interval(kNanosPerSecond / std::max<std::uint32_t>(settings_.low->fps, 1));
  const Instant now = clock.now();
  const bool due = !last_low_sent_ || now - *last_low_sent_ + kLowTolerance >= low_interval;

  const Bytes* pixels;
  Size size;
  if (use_gpu) {
    if (!low_requested || low_nv12_.size() != std::size_t{link.size.width} * link.size.height * 3 / 2) return;
    pixels = &low_nv12_;
    size = link.size;
  } else {
    pixels = &scaled_;
    size = {settings_.width, settings_.height};
  }
  if (!due && !low_key) return;

  std::optional<Bytes> buffer = link.returned.try_receive();
  if (!buffer) {
    if (low_outstanding_ >= kLowBuffers) return;
    ++low_outstanding_;
    buffer.emplace();
  }
  buffer->assign(pixels->begin(), pixels->end());
  LowFrame item{std::move(*buffer), size.width, size.height, low_key};
  switch (link.frames.try_send(item)) {
    case SendResult::Sent:
      if (low_key) ports_.flags.low_key_request.store(false);
      last_low_sent_ = clock.now();
      break;
    case SendResult::Full:
      if (low_outstanding_ > 0) --low_outstanding_;
      break;
    case SendResult::Closed:
      break;
  }
}

void CaptureSession::write_chunks(const Chunks& chunks) {
  for (const EncodedChunk& chunk : chunks) {
    ports_.writer.write(chunk.key ? MessageKind::MainKey : MessageKind::MainDelta, chunk.data);
  }
}

}  // namespace nimbra
