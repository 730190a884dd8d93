#pragma once
// A capture session wired to fakes: virtual clock, memory stdout, capture
// sources and encoders the test scripts, recorded diagnostics and low-layer
// channels the test holds the far ends of.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_source.h"
#include "capture/session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_encoder.h"
#include "memory_streams.h"
#include "sys/clock.h"

namespace nimbra::testing {

// A capture source whose images and grab results the test decides.
struct FakeSourceState {
  SourceKind kind = SourceKind::GdiScreen;
  std::int32_t width = 64;
  std::int32_t height = 36;
  Bytes image;  // what a successful CPU grab delivers; filled with grey when empty
  Bytes nv12;   // what a successful GPU grab delivers
  Bytes low_nv12;
  // Decides each grab's result by its index; empty: always a new image.
  std::function<Result<bool>(std::size_t index)> script;
  std::optional<Instant> dies_at;  // alive() turns false from then on
  bool gpu_possible = false;
  std::string gpu_error = "нет GPU";
  bool gpu_on = false;
  std::optional<Size> gpu_second;
  struct Grab {
    Instant at{};
    std::uint32_t wait_ms = 0;
    bool gpu = false;
    bool second = false;
  };
  std::vector<Grab> grabs;
  int gpu_repeats = 0;
};

class FakeSource final : public CaptureSource {
 public:
  FakeSource(FakeSourceState& state, Clock& clock) : s_(state), clock_(clock) {}

  SourceKind kind() const override { return s_.kind; }
  bool alive() override { return !s_.dies_at || clock_.now() < *s_.dies_at; }
  std::int32_t width() const override { return s_.width; }
  std::int32_t height() const override { return s_.height; }

  Result<bool> grab(Bytes& out, std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, false, false);
    if (r && *r) {
      if (s_.image.empty()) s_.image.assign(std::size_t(s_.width) * s_.height * 4, 0x80);
      out = s_.image;
    }
    return r;
  }

  bool gpu_active() const override { return s_.gpu_on; }
  Status enable_gpu(Size, std::optional<Size> second) override {
    if (!s_.gpu_possible) return fail(s_.gpu_error);
    s_.gpu_on = true;
    s_.gpu_second = second;
    return {};
  }
  Result<bool> grab_gpu(Bytes& main_out, Bytes* second_out, std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, true, second_out != nullptr);
    if (r && *r) {
      main_out = s_.nv12;
      if (second_out) *second_out = s_.low_nv12;
    }
    return r;
  }
  Status gpu_repeat(Bytes&, Bytes*) override {
    ++s_.gpu_repeats;
    return {};
  }

 private:
  Result<bool> next(std::uint32_t wait_ms, bool gpu, bool second) {
    const std::size_t index = s_.grabs.size();
    s_.grabs.push_back({clock_.now(), wait_ms, gpu, second});
    Result<bool> r = s_.script ? s_.script(index) : Result<bool>(true);
    // A duplication-like source blocks for its whole wait when nothing changes.
    if (r && !*r && s_.kind == SourceKind::DesktopDuplication) clock_.sleep_for(std::chrono::milliseconds(wait_ms));
    return r;
  }

  FakeSourceState& s_;
  Clock& clock_;
};

struct SessionRig {
  FakeClock clock;
  MemoryOutput out;
  MessageWriter writer{out};
  ControlFlags flags;
  std::vector<std::string> lines;
  std::vector<std::string> events;  // start order and opens
  CaptureSettings settings;
  FakeSourceState source;           // what the primary opener yields
  FakeSourceState fallback_source;  // what the fallback opener yields
  std::string primary_error;        // non-empty: the primary opener fails
  std::string fallback_error;
  EncoderLog encoders;
  std::vector<std::string> env;  // variables present

  // Far ends of the low layer and the preview channel.
  std::optional<Receiver<LowFrame>> low_frames;
  std::optional<Sender<Bytes>> low_returns;
  std::optional<Receiver<Bytes>> previews;

  SessionRig() {
    encoders.clock = &clock;
    settings.width = 64;
    settings.height = 36;
  }

  SessionPorts ports() {
    SessionPorts p{clock, writer, flags, {}, {}, {}, fake_encoder_factory(encoders), {}, {}};
    p.diagnostic = [this](std::string_view line) { lines.emplace_back(line); };
    p.env_present = [this](const char* name) {
      for (const std::string& e : env) {
        if (e == name) return true;
      }
      return false;
    };
    auto opener = [this](FakeSourceState& state, const std::string& error,
                         std::string name) -> Result<std::unique_ptr<CaptureSource>> {
      events.push_back(name);
      if (!error.empty()) return fail(error);
      return std::unique_ptr<CaptureSource>(new FakeSource(state, clock));
    };
    p.sources.screen = [=, this] { return opener(source, primary_error, "open screen"); };
    p.sources.screen_fallback = [=, this] { return opener(fallback_source, fallback_error, "open screen fallback"); };
    p.sources.window = [=, this](std::int64_t w) {
      return opener(source, primary_error, "open window " + std::to_string(w));
    };
    p.sources.window_fallback = [=, this](std::int64_t w) {
      return opener(fallback_source, fallback_error, "open window fallback " + std::to_string(w));
    };
    p.start.parent_watchdog = [this](std::uint32_t pid) { events.push_back("watchdog " + std::to_string(pid)); };
    p.start.stdin_reader = [this] { events.push_back("stdin"); };
    p.start.handshake = [this] { events.push_back("handshake"); };
    p.start.audio = [this] { events.push_back("audio"); };
    p.start.encoder_thread = [this](const LowSettings& low) {
      events.push_back("encoder thread " + std::to_string(low.width) + "x" + std::to_string(low.height));
      Channel<LowFrame> frames = make_channel<LowFrame>(1);
      Channel<Bytes> returned = make_unbounded_channel<Bytes>();
      low_frames.emplace(std::move(frames.receiver));
      low_returns.emplace(std::move(returned.sender));
      return LowLink{std::move(frames.sender), std::move(returned.receiver), {low.width, low.height}};
    };
    p.start.preview_writer = [this] {
      events.push_back("preview writer");
      Channel<Bytes> channel = make_channel<Bytes>(1);
      previews.emplace(std::move(channel.receiver));
      return std::move(channel.sender);
    };
    return p;
  }

  int run() {
    CaptureSession session(settings, ports());
    events.push_back("run");
    return session.run();
  }

  std::vector<Message> messages(int only_kind = -1) const { return parse_messages(out.data, only_kind); }
};

}  // namespace nimbra::testing
