#include "audio/app_mixer.h"

#include <algorithm>
#include <utility>

#include "wire/handshake.h"

namespace nimbra::audio {
namespace {

std::int16_t clamp16(std::int32_t sum) { return static_cast<std::int16_t>(std::clamp<std::int32_t>(sum, -32768, 32767)); }

}  // namespace

AppMixer::AppMixer(std::uint32_t host_pid, MixerPorts ports) : host_pid_(host_pid), ports_(std::move(ports)) {}

Status AppMixer::start() {
  AudioPlatform& platform = ports_.platform;
  // The probe only shows that capture works here at all.
  if (Result<std::unique_ptr<AppCaptureClient>> probe = platform.captures->open(platform.own_pid); !probe) {
    return fail(probe.error());
  }
  Result<ScanResult> first = read_audio_apps(platform, host_pid_);
  if (!first) return fail(first.error());
  plan_ = std::move(*first);

  Channel<ScanResult> channel = make_unbounded_channel<ScanResult>();
  if (Status started = ports_.start_scan_thread(planned_pids(plan_), std::move(channel.sender)); !started) {
    return fail("поток обзора: " + started.error());
  }
  plans_ = std::move(channel.receiver);

  const std::string ok = audio_ok_json();
  ports_.sink(static_cast<std::uint8_t>(MessageKind::Json),
              ByteView(reinterpret_cast<const std::uint8_t*>(ok.data()), ok.size()));
  synchronise();
  accumulator_.assign(kChunkSamples, 0);
  chunk_.assign(kChunkBytes, 0);
  last_sync_ = ports_.clock.now();
  deadline_ = last_sync_ + kTick;
  return {};
}

void AppMixer::pass() {
  if (clients_.empty()) {
    ports_.clock.sleep_for(kWait);
  } else {
    waiting_.clear();
    for (const auto& app : clients_) waiting_.push_back(app->client.get());
    ports_.platform.captures->wait_for_data(waiting_, kWait);
  }
  drain_clients();

  bool planned = false;
  while (std::optional<ScanResult> plan = plans_.try_receive()) {
    plan_ = std::move(*plan);
    planned = true;
  }
  if (planned || ports_.clock.now() - last_sync_ >= kSyncEvery) {
    synchronise();
    last_sync_ = ports_.clock.now();
  }

  const Instant now = ports_.clock.now();
  if (now - deadline_ > kMaxLag) deadline_ = now;  // a longer stall is dropped, not caught up
  while (now >= deadline_) {
    tick();
    deadline_ += kTick;
  }
}

void AppMixer::drain_clients() {
  std::size_t i = 0;
  while (i < clients_.size()) {
    AppCapture& app = *clients_[i];
    Result<std::uint64_t> drained = app.client->drain([&app](ByteView frames, std::uint32_t frame_count) {
      if (frames.empty()) {
        app.ring.append_silence(std::size_t{frame_count} * kChannels);
      } else {
        app.ring.append(frames);
      }
    });
    if (!drained) {
      drop_client(i, drained.error());  // the last client moved here: drain it next
      continue;
    }
    if (app.ring.size() >= kTrimAt) {
      const std::size_t keep = kTrimKeep + app.ring.size() % 2;
      app.ring.drop_front(app.ring.size() - keep);
      app.fill_level = kTrimLevel;
    }
    ++i;
  }
}

void AppMixer::drop_client(std::size_t index, const std::string& error) {
  const AppCapture& app = *clients_[index];
  ports_.diagnostic("[audio] " + app.name + " (" + std::to_string(app.pid) + "): " + error);
  cooldowns_[app.pid] = ports_.clock.now() + kDrainCooldown;
  clients_[index] = std::move(clients_.back());
  clients_.pop_back();
}

void AppMixer::synchronise() {
  std::erase_if(clients_, [this](const std::unique_ptr<AppCapture>& app) {
    return std::ranges::none_of(plan_.planned, [&](const PlannedApp& p) { return p.pid == app->pid; });
  });
  const Instant now = ports_.clock.now();
  std::erase_if(cooldowns_, [now](const auto& entry) { return entry.second <= now; });
  for (const PlannedApp& planned : plan_.planned) {
    if (clients_.size() >= kMaxClients) break;
    if (cooldowns_.contains(planned.pid) ||
        std::ranges::any_of(clients_, [&](const auto& app) { return app->pid == planned.pid; })) {
      continue;
    }
    Result<std::unique_ptr<AppCaptureClient>> opened = ports_.platform.captures->open(planned.pid);
    if (!opened) {
      ports_.diagnostic("[audio] " + planned.name + " (" + std::to_string(planned.pid) + "): " + opened.error());
      cooldowns_[planned.pid] = now + kOpenCooldown;
      continue;
    }
    auto app = std::make_unique<AppCapture>();
    app->name = planned.name;
    app->client = std::move(*opened);
    app->pid = planned.pid;
    clients_.push_back(std::move(app));
  }
}

void AppMixer::tick() {
  std::ranges::fill(accumulator_, 0);
  for (const auto& app : clients_) mix_client(*app);

  bool audible = false;
  for (std::size_t i = 0; i < kChunkSamples; ++i) {
    const std::int32_t sum = accumulator_[i];
    audible = audible || sum < -kAudible || sum > kAudible;
    const auto sample = static_cast<std::uint16_t>(clamp16(sum));
    chunk_[2 * i] = static_cast<std::uint8_t>(sample);
    chunk_[2 * i + 1] = static_cast<std::uint8_t>(sample >> 8);
  }
  if (audible) ports_.sink(static_cast<std::uint8_t>(MessageKind::Audio), chunk_);
}

void AppMixer::mix_client(AppCapture& app) {
  SampleRing& ring = app.ring;
  const std::size_t frames = ring.size() / kChannels;
  if (!app.primed) {
    if (ring.size() < kPrimeSamples) return;
    app.primed = true;
    app.fill_level = static_cast<float>(frames);
  }
  app.fill_level += (static_cast<float>(frames) - app.fill_level) * kSmoothing;
  const std::size_t target = app.fill_level > kHighLevel ? kChunkFrames + 1
                             : app.fill_level < kLowLevel ? kChunkFrames - 1
                                                          : kChunkFrames;
  if (frames < target) {  // underrun: what is there, then prime again
    const std::size_t available = ring.size() & ~std::size_t{1};
    for (std::size_t i = 0; i < available; ++i) accumulator_[i] += ring[i];
    ring.drop_front(available);
    app.primed = false;
    return;
  }
  constexpr std::size_t kBody = (kChunkFrames - 1) * kChannels;  // frames 0 to 958
  for (std::size_t i = 0; i < kBody; ++i) accumulator_[i] += ring[i];
  for (std::size_t c = 0; c < kChannels; ++c) {
    std::int32_t last;
    if (target == kChunkFrames + 1) {
      last = (std::int32_t{ring[kBody + c]} + ring[kBody + kChannels + c]) / 2;
    } else if (target == kChunkFrames - 1) {
      last = ring[kBody - kChannels + c];  // frame 958 again
    } else {
      last = ring[kBody + c];
    }
    accumulator_[kBody + c] += last;
  }
  ring.drop_front(target * kChannels);
}

Status run_app_mixer(std::uint32_t host_pid, MixerPorts ports) {
  AppMixer mixer(host_pid, std::move(ports));
  if (Status started = mixer.start(); !started) return started;
  for (;;) mixer.pass();
}

}  // namespace nimbra::audio
