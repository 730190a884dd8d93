#pragma once
// Application capture on PulseAudio: a monitor stream per sink input of the
// application's process tree, summed into one 48 kHz stereo s16 stream.
#include <memory>
#include <mutex>

#include "audio/audio_ports.h"
#include "platform/linux/pulse_server.h"

namespace nimbra::platform {

// The current connection, made again when the last one was lost. Shared by
// the sessions (scan thread) and the capture clients (audio thread).
class PulseLink {
 public:
  Result<std::shared_ptr<PulseServer>> server();
  std::shared_ptr<PulseServer> current();

 private:
  std::mutex lock_;
  std::shared_ptr<PulseServer> server_;
};

std::unique_ptr<audio::AppCaptureOpener> make_pulse_capture_opener(std::shared_ptr<PulseLink> link);
std::unique_ptr<audio::AudioSessions> make_pulse_sessions(std::shared_ptr<PulseLink> link);

// Whether `pid` is `root` or one of its descendants.
bool in_process_tree(std::uint32_t pid, std::uint32_t root);

}  // namespace nimbra::platform
