#include "audio/session_scan.h"

#include <utility>

namespace nimbra::audio {

SessionScanLoop::SessionScanLoop(std::uint32_t host_pid, ScanPorts ports, Sender<ScanResult> results,
                                 std::vector<std::uint32_t> sent_pids)
    : host_pid_(host_pid), ports_(std::move(ports)), results_(std::move(results)), sent_pids_(std::move(sent_pids)) {
  ports_.platform.sessions->register_notifications();
  registered_at_ = ports_.clock.now();
}

bool SessionScanLoop::pass() {
  AudioSessions& sessions = *ports_.platform.sessions;
  switch (sessions.wait_for_new_session(kPace)) {
    case SessionWait::NewSession:
      ports_.clock.sleep_for(kBurst);  // one scan for a burst of new sessions
      sessions.discard_pending();
      break;
    case SessionWait::Gone:
      ports_.clock.sleep_for(kPace);
      break;
    case SessionWait::TimedOut:
      break;
  }
  if (ports_.clock.now() - registered_at_ >= kReregistration) {
    sessions.register_notifications();  // picks up output devices that appeared since
    registered_at_ = ports_.clock.now();
  }
  Result<ScanResult> scan = read_audio_apps(ports_.platform, host_pid_);
  if (!scan) {
    if (failures_ == 0 || (failures_ + 1) % kLogEvery == 0) ports_.diagnostic("[audio] обзор сессий: " + scan.error());
    ++failures_;
    return true;
  }
  failures_ = 0;
  std::vector<std::uint32_t> pids = planned_pids(*scan);
  if (pids == sent_pids_) return true;
  sent_pids_ = std::move(pids);
  return results_.try_send(std::move(*scan)) != SendResult::Closed;
}

void run_session_scan(std::uint32_t host_pid, ScanPorts ports, Sender<ScanResult> results,
                      std::vector<std::uint32_t> sent_pids) {
  SessionScanLoop loop(host_pid, std::move(ports), std::move(results), std::move(sent_pids));
  while (loop.pass()) {
  }
}

}  // namespace nimbra::audio
