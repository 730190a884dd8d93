#pragma once
// A capture session wired to fakes: virtual clock, memory stdout, fake
// sources and encoders, recorded diagnostics and low-layer channels the test
// holds the far ends of.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_encoder.h"
#include "fakes/fake_source.h"
#include "memory_streams.h"

namespace nimbra::testing {

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
