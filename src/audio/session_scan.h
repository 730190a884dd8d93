#pragma once
// The "sys-audio-scan" thread: plans again shortly after a new audio session
// appears and otherwise about twice a second, and hands the mixer each plan
// whose pids changed.
#include <cstdint>
#include <vector>

#include "audio/app_scan.h"
#include "capture/diagnostics.h"
#include "sys/channel.h"
#include "sys/clock.h"

namespace nimbra::audio {

struct ScanPorts {
  Clock& clock;
  AudioPlatform& platform;
  DiagnosticSink diagnostic;
};

class SessionScanLoop {
 public:
  static constexpr Duration kPace = 500ms;
  static constexpr Duration kBurst = 20ms;
  static constexpr Duration kReregistration = 10s;
  static constexpr std::uint32_t kLogEvery = 120;

  // `sent_pids` is the plan the mixer starts with.
  SessionScanLoop(std::uint32_t host_pid, ScanPorts ports, Sender<ScanResult> results,
                  std::vector<std::uint32_t> sent_pids);

  // One pass of the loop; false once the mixer is gone.
  bool pass();

 private:
  std::uint32_t host_pid_;
  ScanPorts ports_;
  Sender<ScanResult> results_;
  std::vector<std::uint32_t> sent_pids_;
  std::uint32_t failures_ = 0;
  Instant registered_at_{};
};

// The thread body: registers for new sessions, then passes until the mixer is gone.
void run_session_scan(std::uint32_t host_pid, ScanPorts ports, Sender<ScanResult> results,
                      std::vector<std::uint32_t> sent_pids);

}  // namespace nimbra::audio
