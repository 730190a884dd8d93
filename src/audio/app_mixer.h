#pragma once
// The applications mode of the audio thread: one capture client per planned
// application, each collected in its own ring, mixed every 20 ms into one
// chunk. Each client gives 959, 960 or 961 frames a tick, so its backlog
// stays between two thresholds whatever its clock does.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/app_scan.h"
#include "audio/audio_ports.h"
#include "audio/pcm_format.h"
#include "audio/sample_ring.h"
#include "capture/diagnostics.h"
#include "sys/channel.h"
#include "sys/clock.h"

namespace nimbra::audio {

// Where audio messages go: kind 1 status objects and kind 4 chunks.
using AudioSink = std::function<void(std::uint8_t kind, ByteView payload)>;

// Starts "sys-audio-scan" with the plan the mixer starts from.
using ScanThreadStarter = std::function<Status(std::vector<std::uint32_t> sent_pids, Sender<ScanResult> results)>;

struct MixerPorts {
  Clock& clock;
  AudioPlatform& platform;
  DiagnosticSink diagnostic;
  AudioSink sink;
  ScanThreadStarter start_scan_thread;
};

class AppMixer {
 public:
  static constexpr std::size_t kMaxClients = 48;
  static constexpr std::size_t kRingCapacity = 23296;
  static constexpr std::size_t kPrimeSamples = 3840;  // 40 ms
  static constexpr std::size_t kTrimAt = 19202;       // about 200 ms
  static constexpr std::size_t kTrimKeep = 3840;
  static constexpr float kTrimLevel = 1920.0f;
  static constexpr float kHighLevel = 2880.0f;
  static constexpr float kLowLevel = 1200.0f;
  static constexpr float kSmoothing = 0.05f;
  static constexpr int kAudible = 4;  // sums within ±4 count as silence
  static constexpr Duration kTick = 20ms;
  static constexpr Duration kWait = 5ms;
  static constexpr Duration kMaxLag = 200ms;
  static constexpr Duration kSyncEvery = 1s;
  static constexpr Duration kOpenCooldown = 10s;
  static constexpr Duration kDrainCooldown = 2s;

  AppMixer(std::uint32_t host_pid, MixerPorts ports);

  // Probe, first plan, scan thread, {"audio":"ok"}, first clients.
  Status start();
  // One pass of the loop: wait, drain, take plans, tick when due.
  void pass();

  std::size_t client_count() const { return clients_.size(); }

 private:
  struct AppCapture {
    std::string name;
    SampleRing ring{kRingCapacity};
    std::unique_ptr<AppCaptureClient> client;
    std::uint32_t pid = 0;
    float fill_level = 0.0f;
    bool primed = false;
  };

  void drain_clients();
  void synchronise();
  void tick();
  void mix_client(AppCapture& app);
  void drop_client(std::size_t index, const std::string& error);

  std::uint32_t host_pid_;
  MixerPorts ports_;
  Receiver<ScanResult> plans_;
  ScanResult plan_;
  std::vector<std::unique_ptr<AppCapture>> clients_;
  std::vector<AppCaptureClient*> waiting_;
  std::map<std::uint32_t, Instant> cooldowns_;
  std::vector<std::int32_t> accumulator_;
  Bytes chunk_;
  Instant deadline_{};
  Instant last_sync_{};
};

// Starts the mixer and runs its loop for good; returns only a start-up error.
Status run_app_mixer(std::uint32_t host_pid, MixerPorts ports);

}  // namespace nimbra::audio
