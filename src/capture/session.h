#pragma once
// Capture mode's driver: starts the helper threads, opens a source with its
// fallback, makes the main encoder and runs the frame loop until the session
// ends. The loop only orchestrates; each rule has a home of its own (pacing,
// previews, the unchanged-frame filter, the encoder keeper, the low feeder).
// Everything it talks to is handed in, so the whole loop runs in tests with
// fake sources and encoders in virtual time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "capture/capture_source.h"
#include "capture/control_flags.h"
#include "capture/diagnostics.h"
#include "capture/encoder_keeper.h"
#include "capture/frame_pacer.h"
#include "capture/low_link.h"
#include "capture/preview_writer.h"
#include "capture/unchanged_filter.h"
#include "cli/command_line.h"
#include "codec/h264_encoder.h"
#include "pixels/area_scaler.h"
#include "pixels/box_downscale.h"
#include "sys/clock.h"
#include "wire/message_writer.h"

namespace nimbra {

class GpuConversion;

inline constexpr int kExitOrderly = 0;
inline constexpr int kExitNoEncoder = 2;
inline constexpr int kExitNoSource = 3;

using WindowOpener = std::function<Result<std::unique_ptr<CaptureSource>>(std::int64_t window)>;

// This platform's backends, the preferred one and its fallback.
struct SourceOpeners {
  SourceOpener screen;
  SourceOpener screen_fallback;
  WindowOpener window;
  WindowOpener window_fallback;
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
using GpuCheck = std::function<void(GpuConversion& gpu, ByteView nv12, Size size)>;

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
  static constexpr Duration kKeyHold = 50ms;

  CaptureSession(const CaptureSettings& settings, SessionPorts ports);

  // Runs until the session ends and returns the status the process ends with.
  int run();

 private:
  enum class Path { none, cpu, gpu };

  std::optional<int> start();
  void start_helpers();
  Result<std::unique_ptr<CaptureSource>> open_source();
  void choose_conversion_path();
  std::optional<int> iterate();
  Result<bool> grab(GpuConversion* gpu, Bytes* second);
  std::optional<int> encode_frame(Instant t0, GpuConversion* gpu, bool second_requested);
  void feed_low_layer(bool use_gpu, bool second_requested, bool key_request);
  bool env(const char* name) const { return ports_.env_present && ports_.env_present(name); }

  CaptureSettings settings_;
  SessionPorts ports_;
  Size size_;
  std::unique_ptr<CaptureSource> source_;
  std::optional<EncoderKeeper> encoder_;
  std::optional<LowFeeder> low_;
  std::optional<BoxScaler> low_scaler_;  // kept while the sizes stay the same
  std::optional<PreviewPacer> previews_;
  std::optional<FramePacer> pacer_;
  UnchangedFilter unchanged_;
  BandedDigest digest_;
  FrameDigest digest_value_ = kNoDigest;  // of the last picture grabbed
  // Kept only while scaled_ holds its picture of the source's last image,
  // so that a grab rescales just the rows that changed.
  std::optional<AreaScaler> scaler_;
  RowSpan unconverted_;  // rows of scaled_ written since the last encode

  Bytes scaled_;
  Bytes nv12_;
  Bytes low_nv12_;
  Path last_path_ = Path::none;  // the path the last processed frame came along
  std::uint32_t grab_failures_ = 0;
  bool gpu_check_pending_ = false;
};

}  // namespace nimbra
