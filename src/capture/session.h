#pragma once
// Capture mode's driver: starts the helper threads, opens a source with its
// fallback, creates the main encoder and runs the frame loop until the
// session ends. Everything it talks to is handed in, so the whole loop runs
// in tests with fake sources and encoders in virtual time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/capture_source.h"
#include "capture/control_flags.h"
#include "capture/diagnostics.h"
#include "capture/frame_digest.h"
#include "capture/low_link.h"
#include "capture/preview_writer.h"
#include "cli/command_line.h"
#include "codec/h264_encoder.h"
#include "sys/clock.h"
#include "wire/message_writer.h"

namespace nimbra {

inline constexpr int kExitOrderly = 0;
inline constexpr int kExitNoEncoder = 2;
inline constexpr int kExitNoSource = 3;

struct SourceOpeners {
  std::function<Result<std::unique_ptr<CaptureSource>>()> screen;
  std::function<Result<std::unique_ptr<CaptureSource>>()> screen_fallback;
  std::function<Result<std::unique_ptr<CaptureSource>>(std::int64_t)> window;
  std::function<Result<std::unique_ptr<CaptureSource>>(std::int64_t)> window_fallback;
};

// What the session starts before it opens its source, called in this order
// (the watchdog only with a parent, audio only when asked for, the encoder
// thread only with a low layer). Empty ones are skipped.
struct SessionStarters {
  std::function<void(std::uint32_t parent_pid)> parent_watchdog;
  std::function<void()> stdin_reader;
  std::function<void()> handshake;
  std::function<void()> audio;
  std::function<LowLink(const LowSettings&)> encoder_thread;
  std::function<PreviewSender()> preview_writer;
};

// The one-shot comparison of the GPU and CPU conversions.
using GpuCheck = std::function<void(CaptureSource& source, ByteView nv12, std::uint32_t width, std::uint32_t height)>;

struct SessionPorts {
  Clock& clock;
  MessageWriter& writer;
  ControlFlags& flags;
  DiagnosticSink diagnostic;
  std::function<bool(const char* name)> env_present;
  SourceOpeners sources;
  EncoderFactory create_encoder;
  SessionStarters start;
  GpuCheck gpu_check;  // may be empty
};

class CaptureSession {
 public:
  static constexpr std::uint32_t kGrabFailureLimit = 40;
  static constexpr Duration kGrabFailurePause = 500ms;
  static constexpr Duration kPreviewPeriod = 500ms;
  static constexpr Duration kRebuildSpacing = 2s;
  static constexpr Duration kKeyHold = 50ms;
  static constexpr std::uint32_t kUnchangedLimit = 60;
  static constexpr std::size_t kEncodeFailureBudget = 5;
  static constexpr Duration kEncodeFailureWindow = 60s;
  static constexpr std::uint32_t kLowBuffers = 3;
  static constexpr Duration kLowTolerance = 3ms;

  CaptureSession(const CaptureSettings& settings, SessionPorts ports);

  // Runs until the session ends and returns the status the process ends with.
  int run();

 private:
  std::optional<int> start();
  std::optional<int> open_source();
  void choose_conversion_path();
  std::optional<int> iterate();
  std::optional<int> process_frame(Instant t0, bool use_gpu, bool low_requested);
  bool last_image_usable(bool use_gpu) const;
  Size source_size() const;
  void low_step(bool use_gpu, bool low_requested, bool low_key);
  void pace(Instant t0);
  Result<std::unique_ptr<H264Encoder>> create_encoder();
  void write_chunks(const Chunks& chunks);

  CaptureSettings settings_;
  SessionPorts ports_;
  std::unique_ptr<CaptureSource> source_;
  SourceKind source_kind_ = SourceKind::GdiScreen;
  std::unique_ptr<H264Encoder> encoder_;
  std::optional<LowLink> low_link_;
  PreviewSender preview_sender_;

  Bytes grab_buffer_;
  Bytes scaled_;
  Bytes nv12_;
  Bytes low_nv12_;
  std::size_t nv12_size_ = 0;

  Duration interval_{};
  std::uint32_t wait_ms_ = 0;
  Instant next_due_{};
  Instant last_preview_{};
  Instant last_rebuild_{};
  std::uint64_t frames_done_ = 0;
  std::uint32_t grab_failures_ = 0;
  std::uint32_t unchanged_ = 0;
  FrameDigest last_digest_ = kNoDigest;
  bool gpu_frame_valid_ = false;
  bool gpu_check_pending_ = false;
  std::vector<Instant> encode_failures_;
  std::uint32_t low_outstanding_ = 0;
  std::optional<Instant> last_low_sent_;
};

}  // namespace nimbra
