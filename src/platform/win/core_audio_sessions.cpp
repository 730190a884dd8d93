#include "platform/win/core_audio_sessions.h"

#include <algorithm>
#include <variant>

#include "platform/win/hresult.h"

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

Result<ComPtr<IMMDeviceCollection>> active_outputs() {
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
      FAILED(hr)) {
    return fail(step_error("MMDeviceEnumerator", hr));
  }
  ComPtr<IMMDeviceCollection> devices;
  if (HRESULT hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices); FAILED(hr)) {
    return fail(step_error("EnumAudioEndpoints", hr));
  }
  return devices;
}

ComPtr<IAudioSessionManager2> session_manager(IMMDeviceCollection* devices, UINT index) {
  ComPtr<IMMDevice> device;
  ComPtr<IAudioSessionManager2> manager;
  if (FAILED(devices->Item(index, &device)) ||
      FAILED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                              reinterpret_cast<void**>(manager.GetAddressOf())))) {
    return nullptr;
  }
  return manager;
}

std::optional<std::uint32_t> session_owner(IAudioSessionEnumerator* sessions, int index) {
  ComPtr<IAudioSessionControl> control;
  ComPtr<IAudioSessionControl2> control2;
  if (FAILED(sessions->GetSession(index, &control)) || !control || FAILED(control.As(&control2)) || !control2) {
    return std::nullopt;
  }
  if (control2->IsSystemSoundsSession() == S_OK) return std::nullopt;
  AudioSessionState state{};
  if (SUCCEEDED(control2->GetState(&state)) && state == AudioSessionStateExpired) return std::nullopt;
  DWORD pid = 0;
  if (FAILED(control2->GetProcessId(&pid)) || pid == 0) return std::nullopt;
  return pid;
}

class CoreAudioSessions final : public audio::AudioSessions {
 public:
  CoreAudioSessions() {
    Channel<char> channel = make_unbounded_channel<char>();
    signals_ = std::move(channel.receiver);
    sender_ = std::move(channel.sender);
  }
  ~CoreAudioSessions() override { unregister(); }

  Result<std::vector<std::uint32_t>> owners() override { return read_session_owners(); }

  void register_notifications() override {
    unregister();
    // Made here, on the scan thread, which has COM.
    if (!notifier_) notifier_.Attach(new SessionNotifier(std::move(sender_)));
    Result<ComPtr<IMMDeviceCollection>> devices = active_outputs();
    UINT count = 0;
    if (!devices || FAILED((*devices)->GetCount(&count))) return;
    for (UINT i = 0; i < count; ++i) {
      ComPtr<IAudioSessionManager2> manager = session_manager(devices->Get(), i);
      if (!manager) continue;
      // A manager reports new sessions only once its sessions were enumerated.
      ComPtr<IAudioSessionEnumerator> sessions;
      manager->GetSessionEnumerator(&sessions);
      if (SUCCEEDED(manager->RegisterSessionNotification(notifier_.Get()))) managers_.push_back(std::move(manager));
    }
  }

  audio::SessionWait wait_for_new_session(Duration timeout) override {
    auto received = signals_.receive_for(timeout);
    if (std::holds_alternative<char>(received)) return audio::SessionWait::NewSession;
    if (std::holds_alternative<TimedOut>(received)) return audio::SessionWait::TimedOut;
    return audio::SessionWait::Gone;
  }

  void discard_pending() override {
    while (signals_.try_receive()) {
    }
  }

 private:
  void unregister() {
    for (const ComPtr<IAudioSessionManager2>& manager : managers_) manager->UnregisterSessionNotification(notifier_.Get());
    managers_.clear();
  }

  Receiver<char> signals_;
  Sender<char> sender_;  // until the notifier holds it
  ComPtr<SessionNotifier> notifier_;
  std::vector<ComPtr<IAudioSessionManager2>> managers_;
};

}  // namespace

HRESULT STDMETHODCALLTYPE SessionNotifier::OnSessionCreated(IAudioSessionControl*) {
  std::lock_guard guard(lock_);
  (void)signals_.try_send('\0');
  return S_OK;
}

Result<std::vector<std::uint32_t>> read_session_owners() {
  Result<ComPtr<IMMDeviceCollection>> devices = active_outputs();
  if (!devices) return fail(devices.error());
  UINT count = 0;
  if (HRESULT hr = (*devices)->GetCount(&count); FAILED(hr)) return fail(step_error("GetCount", hr));
  std::vector<std::uint32_t> owners;
  bool read_any = false;
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IAudioSessionManager2> manager = session_manager(devices->Get(), i);
    ComPtr<IAudioSessionEnumerator> sessions;
    if (!manager || FAILED(manager->GetSessionEnumerator(&sessions)) || !sessions) continue;
    read_any = true;
    int total = 0;
    if (FAILED(sessions->GetCount(&total))) total = 0;
    for (int s = 0; s < total; ++s) {
      std::optional<std::uint32_t> pid = session_owner(sessions.Get(), s);
      if (pid && std::ranges::find(owners, *pid) == owners.end()) owners.push_back(*pid);
    }
  }
  if (count != 0 && !read_any) return fail("сессии устройств вывода недоступны");
  return owners;
}

std::unique_ptr<audio::AudioSessions> make_core_audio_sessions() { return std::make_unique<CoreAudioSessions>(); }

}  // namespace nimbra::platform
