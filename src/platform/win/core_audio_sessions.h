#pragma once
// Audio sessions of every active output device, and the notifier that tells
// the scan thread when a session is created.
#include <windows.h>
#include <audiopolicy.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/audio_ports.h"
#include "platform/win/agile_object.h"
#include "sys/channel.h"

namespace nimbra::platform {

class SessionNotifier final : public AgileObject<IAudioSessionNotification> {
 public:
  explicit SessionNotifier(Sender<char> signals) : signals_(std::move(signals)) {}
  HRESULT STDMETHODCALLTYPE OnSessionCreated(IAudioSessionControl* session) override;

 private:
  std::mutex lock_;
  Sender<char> signals_;
};

// Owner pids of the sessions of every active output device, first occurrence first.
Result<std::vector<std::uint32_t>> read_session_owners();

std::unique_ptr<audio::AudioSessions> make_core_audio_sessions();

}  // namespace nimbra::platform
