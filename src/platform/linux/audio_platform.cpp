#include <pthread.h>
#include <unistd.h>

#include "platform/audio.h"
#include "platform/linux/proc_process_table.h"
#include "platform/linux/pulse_app_capture.h"

namespace nimbra::platform {

std::unique_ptr<audio::AudioPlatform> make_audio_platform() {
  auto link = std::make_shared<PulseLink>();
  auto platform = std::make_unique<audio::AudioPlatform>();
  platform->enter_thread = [](const char* name) { pthread_setname_np(pthread_self(), name); };
  platform->process_table = read_proc_process_table;
  platform->sessions = make_pulse_sessions(link);
  platform->captures = make_pulse_capture_opener(link);
  platform->own_pid = static_cast<std::uint32_t>(::getpid());
  return platform;
}

}  // namespace nimbra::platform
