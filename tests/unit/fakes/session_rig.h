#pragma once
// A capture session wired to fakes: virtual clock, memory stdout, a scripted source and encoders,
// recorded diagnostics and the far ends of the low-layer and preview channels.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_source.h"
#include "capture/gpu_conversion.h"
#include "capture/session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_encoder.h"
#include "memory_streams.h"

namespace nimbra::testing {

struct FakeSourceState {
  bool waits = false;  // a grab with nothing new blocks for its whole wait
  Size size{64, 36};
  Bytes image;           // a new CPU image; grey when empty
  RowSpan changed = RowSpan::all();  // what a new CPU image says changed
  Bytes nv12, low_nv12;  // what a GPU conversion delivers
  Bytes read_back;       // the image behind it; empty: no read-back
  std::function<Result<bool>(std::size_t index)> script;  // each grab's result; empty: always new
  std::optional<Instant> dies_at;
  bool offers_gpu = false, gpu_on = false;
  std::string gpu_error;  // non-empty: enabling the GPU fails with it
  std::optional<Size> gpu_second;
  struct Grab {
    Instant at{};
    std::uint32_t wait_ms = 0;
    bool gpu = false, second = false;
  };
  std::vector<Grab> grabs;
  int gpu_repeats = 0;
};

class FakeSource final : public CaptureSource, public GpuConversion {
 public:
  FakeSource(FakeSourceState& state, Clock& clock) : s_(state), clock_(clock) {}
  bool alive() override { return !s_.dies_at || clock_.now() < *s_.dies_at; }
  bool waits_for_change() const override { return s_.waits; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, false, false);
    if (!r) return fail(r.error());
    if (!*r) return std::nullopt;
    if (s_.image.empty()) s_.image.assign(std::size_t(s_.size.width) * s_.size.height * 4, 0x80);
    return BgraFrame{s_.image, s_.size, s_.changed};
  }
  GpuConversion* gpu() override { return s_.offers_gpu ? this : nullptr; }

  Status enable(Size, std::optional<Size> second) override {
    if (!s_.gpu_error.empty()) return fail(s_.gpu_error);
    s_.gpu_on = true;
    s_.gpu_second = second;
    return {};
  }
  bool enabled() const override { return s_.gpu_on; }
  Size source_size() const override { return s_.size; }
  Result<bool> convert(Bytes& main, Bytes* second, std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, true, second != nullptr);
    if (r && *r) main = s_.nv12;
    if (r && *r && second) *second = s_.low_nv12;
    return r;
  }
  Status repeat(Bytes&, Bytes*) override { return ++s_.gpu_repeats, Status{}; }
  Status read_back_bgra(Bytes& out) override {
    if (s_.read_back.empty() || out.size() != s_.read_back.size()) return fail("нет GPU-кадра");
    return out = s_.read_back, Status{};
  }

 private:
  Result<bool> next(std::uint32_t wait_ms, bool gpu, bool second) {
    const std::size_t index = s_.grabs.size();
    s_.grabs.push_back({clock_.now(), wait_ms, gpu, second});
    Result<bool> r = s_.script ? s_.script(index) : Result<bool>(true);
    if (r && !*r && s_.waits) clock_.sleep_for(std::chrono::milliseconds(wait_ms));
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
  FakeSourceState source;
  std::string open_error;  // non-empty: every backend fails to open with it
  EncoderLog encoders;
  std::vector<std::string> env;  // variables present
  GpuCheck gpu_check;
  std::optional<Receiver<LowFrame>> low_frames;
  std::optional<Sender<Bytes>> low_returns;
  std::optional<Receiver<Bytes>> previews;

  SessionRig() { settings.width = 64, settings.height = 36, encoders.clock = &clock; }

  int run() {
    SessionPorts p{clock, writer, flags, {}, {}, {}, fake_encoder_factory(encoders), {}, gpu_check};
    p.diagnostic = [this](std::string_view line) { lines.emplace_back(line); };
    p.env_present = [this](const char* name) { return std::ranges::find(env, name) != env.end(); };
    auto opener = [this](std::string name) -> Result<std::unique_ptr<CaptureSource>> {
      events.push_back("open " + name);
      if (!open_error.empty()) return fail(open_error);
      return std::make_unique<FakeSource>(source, clock);
    };
    p.sources = {[=] { return opener("screen"); }, [=] { return opener("screen fallback"); },
                 [=](std::int64_t w) { return opener("window " + std::to_string(w)); },
                 [=](std::int64_t w) { return opener("window fallback " + std::to_string(w)); }};
    auto event = [this](std::string name) { return [this, name] { events.push_back(name); }; };
    p.start = {[this](std::uint32_t pid) { events.push_back("watchdog " + std::to_string(pid)); },
               event("stdin"), event("handshake"), event("audio"),
               [this](const LowSettings& low) {
                 events.push_back("encoder thread " + std::to_string(low.width) + "x" + std::to_string(low.height));
                 Channel<LowFrame> frames = make_channel<LowFrame>(1);
                 Channel<Bytes> returned = make_unbounded_channel<Bytes>();
                 low_frames.emplace(std::move(frames.receiver));
                 low_returns.emplace(std::move(returned.sender));
                 return LowLink{std::move(frames.sender), std::move(returned.receiver), {low.width, low.height}};
               },
               [this] {
                 events.push_back("preview writer");
                 Channel<Bytes> channel = make_channel<Bytes>(1);
                 previews.emplace(std::move(channel.receiver));
                 return std::move(channel.sender);
               }};
    CaptureSession session(settings, std::move(p));
    events.push_back("run");
    return session.run();
  }

  // Each grab delivers a different image, so nothing is skipped as unchanged.
  void make_every_frame_new() {
    source.script = [this](std::size_t index) -> Result<bool> {
      source.image.assign(std::size_t(source.size.width) * source.size.height * 4, 0);
      source.image[0] = static_cast<std::uint8_t>(index);
      if (!source.nv12.empty()) source.nv12[0] = static_cast<std::uint8_t>(index);
      return true;
    };
  }

  // Runs a session whose source dies after `d`; it must end orderly.
  void run_for(Duration d) {
    source.dies_at = clock.now() + d;
    EXPECT_EQ(run(), kExitOrderly);
  }

  std::vector<Message> messages(int only_kind = -1) const { return parse_messages(out.data, only_kind); }
};

}  // namespace nimbra::testing
