#pragma once
// Core Audio process loopback: one capture stream of a process tree's sound
// through the "VAD\Process_Loopback" virtual device, in the fixed format
// 48 kHz stereo s16.
#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <optional>

#include "audio/audio_ports.h"
#include "platform/win/agile_object.h"
#include "platform/win/audioclient_activation_params.h"
#include "sys/channel.h"

namespace nimbra::platform {

using Microsoft::WRL::ComPtr;

// Completes one activation: the first ActivateCompleted signals, later ones do nothing.
class ActivationHandler final : public AgileObject<IActivateAudioInterfaceCompletionHandler> {
 public:
  explicit ActivationHandler(Sender<char> done) : done_(std::move(done)) {}
  HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

 private:
  std::mutex lock_;
  std::optional<Sender<char>> done_;
};

// The activation blob: VT_BLOB of the 12-byte parameters, which must outlive it.
PROPVARIANT loopback_blob(AUDIOCLIENT_ACTIVATION_PARAMS& params);

Result<ComPtr<IAudioClient>> activate_process_loopback(std::uint32_t pid, PROCESS_LOOPBACK_MODE mode);

class LoopbackClient {
 public:
  // Owns the event from here on.
  LoopbackClient(ComPtr<IAudioClient> client, HANDLE event);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  IAudioClient* client() const { return client_.Get(); }
  IAudioCaptureClient* capture() const { return capture_.Get(); }
  void set_capture(ComPtr<IAudioCaptureClient> capture) { capture_ = std::move(capture); }
  HANDLE event() const { return event_; }

 private:
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioCaptureClient> capture_;
  HANDLE event_;
};

Result<std::unique_ptr<LoopbackClient>> open_loopback_client(std::uint32_t pid, PROCESS_LOOPBACK_MODE mode);

// Hands every waiting packet to the consumer; the number of frames delivered.
Result<std::uint64_t> drain_packets(IAudioCaptureClient* capture, const audio::PacketConsumer& consumer);

std::unique_ptr<audio::AppCaptureOpener> make_loopback_opener();

}  // namespace nimbra::platform
