#include "platform/linux/pulse_app_capture.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "audio/pcm_format.h"
#include "platform/linux/proc_process_table.h"

namespace nimbra::platform {
namespace {

constexpr int kTreeDepth = 64;
constexpr std::size_t kBacklogFrames = audio::kSampleRate;  // one second that nobody drained is dropped
constexpr std::uint32_t kFragmentBytes = 10 * audio::kSampleRate / 1000 * audio::kBytesPerFrame;

class PulseAppCapture final : public audio::AppCaptureClient, PulseListener {
 public:
  PulseAppCapture(std::shared_ptr<PulseServer> server, std::uint32_t root) : server_(std::move(server)), root_(root) {
    PulseServer::Lock lock(*server_);
    server_->add_listener(this);
    on_change();
  }

  ~PulseAppCapture() override {
    PulseServer::Lock lock(*server_);
    server_->remove_listener(this);
    while (!monitors_.empty()) detach(monitors_.begin());
  }

  Result<std::uint64_t> drain(const audio::PacketConsumer& consumer) override {
    std::size_t frames = 0;
    {
      PulseServer::Lock lock(*server_);
      if (!server_->alive()) return fail("PulseAudio: " + server_->failure());
      for (const auto& [index, monitor] : monitors_) frames = std::max(frames, monitor->written);
      if (frames == 0) return 0;
      out_.resize(frames * audio::kBytesPerFrame);
      for (std::size_t i = 0; i < frames * audio::kChannels; ++i) {
        const auto sample = static_cast<std::uint16_t>(std::clamp<std::int32_t>(mix_[i], -32768, 32767));
        out_[2 * i] = static_cast<std::uint8_t>(sample);
        out_[2 * i + 1] = static_cast<std::uint8_t>(sample >> 8);
      }
      consume(frames);
    }
    consumer(out_, static_cast<std::uint32_t>(frames));
    return frames;
  }

  // Follows the tree's sink inputs: new ones, moved ones, ended ones.
  void on_change() override {
    if (!server_->alive()) return;
    for (auto it = monitors_.begin(); it != monitors_.end();) {
      auto input = server_->sink_inputs().find(it->first);
      const bool keep = !it->second->dead && input != server_->sink_inputs().end() && input->second.sink == it->second->sink;
      it = keep ? std::next(it) : detach(it);
    }
    for (const auto& [index, input] : server_->sink_inputs()) {
      if (monitors_.contains(index) || input.pid == 0 || !in_process_tree(input.pid, root_)) continue;
      if (std::optional<std::uint32_t> source = server_->monitor_source(input.sink)) attach(index, input.sink, *source);
    }
  }

 private:
  struct Monitor {
    PulseAppCapture* owner = nullptr;
    pa_stream* stream = nullptr;
    std::uint32_t sink = PA_INVALID_INDEX;
    std::size_t written = 0;  // frames of mix_ this stream has filled
    bool dead = false;
  };
  using Monitors = std::map<std::uint32_t, std::unique_ptr<Monitor>>;

  void attach(std::uint32_t index, std::uint32_t sink, std::uint32_t source) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, audio::kSampleRate, audio::kChannels};
    pa_stream* stream = pa_stream_new(server_->context(), "nimbra-capture", &format, nullptr);
    if (stream == nullptr) return;
    auto monitor = std::make_unique<Monitor>(Monitor{this, stream, sink, 0, false});
    pa_stream_set_monitor_stream(stream, index);
    pa_stream_set_read_callback(stream, on_read, monitor.get());
    pa_stream_set_state_callback(stream, on_state, monitor.get());
    const pa_buffer_attr attr{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                              static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1), kFragmentBytes};
    const std::string device = std::to_string(source);
    if (pa_stream_connect_record(stream, device.c_str(), &attr,
                                 static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
      monitor->dead = true;
    }
    monitors_[index] = std::move(monitor);
  }

  Monitors::iterator detach(Monitors::iterator it) {
    pa_stream* stream = it->second->stream;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) != PA_STREAM_UNCONNECTED) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    return monitors_.erase(it);
  }

  // Drops the first `frames` of the mix: delivered, or too old.
  void consume(std::size_t frames) {
    mix_.erase(mix_.begin(), mix_.begin() + static_cast<std::ptrdiff_t>(frames * audio::kChannels));
    for (auto& [index, monitor] : monitors_) monitor->written -= std::min(monitor->written, frames);
  }

  void add(Monitor& monitor, const std::int16_t* samples, std::size_t frames) {
    if (monitor.written + frames > kBacklogFrames) consume(monitor.written + frames - kBacklogFrames);
    const std::size_t end = (monitor.written + frames) * audio::kChannels;
    if (mix_.size() < end) mix_.resize(end, 0);
    std::int32_t* at = mix_.data() + monitor.written * audio::kChannels;
    for (std::size_t i = 0; i < frames * audio::kChannels; ++i) at[i] += samples[i];
    monitor.written += frames;
  }

  static void on_read(pa_stream* stream, std::size_t, void* userdata) {
    auto* monitor = static_cast<Monitor*>(userdata);
    const void* data = nullptr;
    std::size_t bytes = 0;
    bool delivered = false;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
      if (data != nullptr) {  // a hole (no data) is skipped
        monitor->owner->add(*monitor, static_cast<const std::int16_t*>(data), bytes / audio::kBytesPerFrame);
        delivered = true;
      }
      pa_stream_drop(stream);
    }
    if (delivered) monitor->owner->server_->data_ready();
  }

  // An ended or moved sink input kills its monitor; the next change re-attaches.
  static void on_state(pa_stream* stream, void* userdata) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<Monitor*>(userdata)->dead = true;
  }

  std::shared_ptr<PulseServer> server_;
  std::uint32_t root_;
  Monitors monitors_;
  std::vector<std::int32_t> mix_;
  Bytes out_;
};

class PulseCaptureOpener final : public audio::AppCaptureOpener {
 public:
  explicit PulseCaptureOpener(std::shared_ptr<PulseLink> link) : link_(std::move(link)) {}

  Result<std::unique_ptr<audio::AppCaptureClient>> open(std::uint32_t pid) override {
    Result<std::shared_ptr<PulseServer>> server = link_->server();
    if (!server) return fail(server.error());
    return std::make_unique<PulseAppCapture>(std::move(*server), pid);
  }

  void wait_for_data(std::span<audio::AppCaptureClient* const>, Duration timeout) override {
    if (std::shared_ptr<PulseServer> server = link_->current()) {
      server->wait_for_data(timeout);
    } else {
      std::this_thread::sleep_for(timeout);
    }
  }

 private:
  std::shared_ptr<PulseLink> link_;
};

class PulseSessions final : public audio::AudioSessions {
 public:
  explicit PulseSessions(std::shared_ptr<PulseLink> link) : link_(std::move(link)) {}

  Result<std::vector<std::uint32_t>> owners() override {
    Result<std::shared_ptr<PulseServer>> server = link_->server();
    if (!server) return fail(server.error());
    PulseServer::Lock lock(**server);
    std::vector<std::uint32_t> pids;
    for (const auto& [index, input] : (*server)->sink_inputs()) {
      if (input.pid != 0 && std::ranges::find(pids, input.pid) == pids.end()) pids.push_back(input.pid);
    }
    return pids;
  }

  // The subscription covers sinks that appear later by itself.
  void register_notifications() override {}

  audio::SessionWait wait_for_new_session(Duration timeout) override {
    std::shared_ptr<PulseServer> server = link_->current();
    return server ? server->wait_for_new_session(timeout) : audio::SessionWait::Gone;
  }

  void discard_pending() override {
    if (std::shared_ptr<PulseServer> server = link_->current()) server->discard_new_sessions();
  }

 private:
  std::shared_ptr<PulseLink> link_;
};

}  // namespace

Result<std::shared_ptr<PulseServer>> PulseLink::server() {
  std::lock_guard guard(lock_);
  if (server_) {
    PulseServer::Lock lock(*server_);
    if (server_->alive()) return server_;
  }
  Result<std::shared_ptr<PulseServer>> connected = PulseServer::connect();
  server_ = connected.value_or(nullptr);
  return connected;
}

std::shared_ptr<PulseServer> PulseLink::current() {
  std::lock_guard guard(lock_);
  return server_;
}

bool in_process_tree(std::uint32_t pid, std::uint32_t root) {
  for (int step = 0; step < kTreeDepth && pid != 0; ++step) {
    if (pid == root) return true;
    std::optional<audio::ProcessEntry> entry = read_proc_entry(pid);
    if (!entry || entry->parent_pid == pid) return false;
    pid = entry->parent_pid;
  }
  return false;
}

std::unique_ptr<audio::AppCaptureOpener> make_pulse_capture_opener(std::shared_ptr<PulseLink> link) {
  return std::make_unique<PulseCaptureOpener>(std::move(link));
}

std::unique_ptr<audio::AudioSessions> make_pulse_sessions(std::shared_ptr<PulseLink> link) {
  return std::make_unique<PulseSessions>(std::move(link));
}

}  // namespace nimbra::platform
