#include "platform/win/process_loopback.h"

#include <string>
#include <variant>
#include <vector>

#include "platform/win/hresult.h"

namespace nimbra::platform {
namespace {

constexpr REFERENCE_TIME kBufferDuration = 2'000'000;  // 200 ms
constexpr DWORD kPreferredFlags = 0x88060000;  // loopback, event callback, default-quality rate conversion, PCM conversion
constexpr DWORD kPlainFlags = 0x00060000;      // loopback, event callback
constexpr Duration kActivationWait = 5s;
constexpr const char* kNeedsWindows = " (нужна Windows 10 2004+): ";

const WAVEFORMATEX kCaptureFormat{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

class LoopbackAppCapture final : public audio::AppCaptureClient {
 public:
  explicit LoopbackAppCapture(std::unique_ptr<LoopbackClient> client) : client_(std::move(client)) {}
  Result<std::uint64_t> drain(const audio::PacketConsumer& consumer) override {
    return drain_packets(client_->capture(), consumer);
  }
  HANDLE event() const { return client_->event(); }

 private:
  std::unique_ptr<LoopbackClient> client_;
};

class LoopbackOpener final : public audio::AppCaptureOpener {
 public:
  Result<std::unique_ptr<audio::AppCaptureClient>> open(std::uint32_t pid) override {
    Result<std::unique_ptr<LoopbackClient>> client =
        open_loopback_client(pid, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    if (!client) return fail(client.error());
    return std::make_unique<LoopbackAppCapture>(std::move(*client));
  }

  void wait_for_data(std::span<audio::AppCaptureClient* const> clients, Duration timeout) override {
    std::vector<HANDLE> events;
    for (audio::AppCaptureClient* client : clients) {
      if (auto* loopback = dynamic_cast<LoopbackAppCapture*>(client)) events.push_back(loopback->event());
    }
    const auto ms = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
    if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
      Sleep(ms);
      return;
    }
    WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, ms);
  }
};

Result<ComPtr<IAudioClient>> initialize(std::uint32_t pid, PROCESS_LOOPBACK_MODE mode, DWORD flags,
                                        HRESULT& failure) {
  Result<ComPtr<IAudioClient>> client = activate_process_loopback(pid, mode);
  if (!client) return client;
  failure = (*client)->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, &kCaptureFormat, nullptr);
  return client;
}

}  // namespace

HRESULT STDMETHODCALLTYPE ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) {
  std::optional<Sender<char>> done;
  {
    std::lock_guard guard(lock_);
    done.swap(done_);
  }
  if (done) (void)done->try_send('\0');
  return S_OK;
}

PROPVARIANT loopback_blob(AUDIOCLIENT_ACTIVATION_PARAMS& params) {
  PROPVARIANT blob{};
  blob.vt = VT_BLOB;
  blob.blob.cbSize = sizeof params;
  blob.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
  return blob;
}

Result<ComPtr<IAudioClient>> activate_process_loopback(std::uint32_t pid, PROCESS_LOOPBACK_MODE mode) {
  AUDIOCLIENT_ACTIVATION_PARAMS params{};
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams = {pid, mode};
  PROPVARIANT blob = loopback_blob(params);
  Channel<char> done = make_channel<char>(1);
  ComPtr<ActivationHandler> handler;
  handler.Attach(new ActivationHandler(std::move(done.sender)));

  ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
  HRESULT hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, __uuidof(IAudioClient), &blob,
                                           handler.Get(), &operation);
  if (SUCCEEDED(hr) && !operation) hr = 0;
  if (FAILED(hr) || !operation) {
    return fail(std::string("захват звука приложений не поддерживается") + kNeedsWindows + hresult_text(hr));
  }
  if (!std::holds_alternative<char>(done.receiver.receive_for(kActivationWait))) {
    return fail("активация звука не ответила за 5 с");
  }
  HRESULT activated = S_OK;
  ComPtr<IUnknown> unknown;
  if (hr = operation->GetActivateResult(&activated, &unknown); FAILED(hr)) {
    return fail("результат активации: " + hresult_text(hr));
  }
  if (FAILED(activated)) {
    return fail(std::string("захват звука приложений недоступен") + kNeedsWindows + hresult_text(activated));
  }
  if (!unknown) return fail("активация вернула пустой интерфейс");
  ComPtr<IAudioClient> client;
  hr = unknown.As(&client);
  if (SUCCEEDED(hr) && !client) hr = E_POINTER;
  if (FAILED(hr)) return fail(step_error("IAudioClient", hr));
  return client;
}

LoopbackClient::LoopbackClient(ComPtr<IAudioClient> client, HANDLE event) : client_(std::move(client)), event_(event) {}

LoopbackClient::~LoopbackClient() {
  if (client_) client_->Stop();
  capture_.Reset();
  client_.Reset();
  if (event_ != nullptr) CloseHandle(event_);
}

Result<std::unique_ptr<LoopbackClient>> open_loopback_client(std::uint32_t pid, PROCESS_LOOPBACK_MODE mode) {
  HRESULT first = S_OK;
  Result<ComPtr<IAudioClient>> client = initialize(pid, mode, kPreferredFlags, first);
  if (!client) return fail(client.error());
  if (FAILED(first)) {
    HRESULT second = S_OK;
    client = initialize(pid, mode, kPlainFlags, second);  // a fresh client: the first is spent
    if (!client) return fail(client.error());
    if (FAILED(second)) return fail("Initialize: " + hresult_text(first) + " / " + hresult_text(second));
  }
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (event == nullptr) return fail(step_error("событие", HRESULT_FROM_WIN32(GetLastError())));
  auto opened = std::make_unique<LoopbackClient>(std::move(*client), event);
  IAudioClient* audio = opened->client();
  if (HRESULT hr = audio->SetEventHandle(event); FAILED(hr)) return fail(step_error("SetEventHandle", hr));
  ComPtr<IAudioCaptureClient> capture;
  HRESULT hr = audio->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(capture.GetAddressOf()));
  if (SUCCEEDED(hr) && !capture) hr = 0;
  if (FAILED(hr) || !capture) return fail(step_error("IAudioCaptureClient", hr));
  opened->set_capture(std::move(capture));
  if (hr = audio->Start(); FAILED(hr)) return fail(step_error("Start", hr));
  return opened;
}

Result<std::uint64_t> drain_packets(IAudioCaptureClient* capture, const audio::PacketConsumer& consumer) {
  std::uint64_t total = 0;
  for (;;) {
    UINT32 next = 0;
    if (HRESULT hr = capture->GetNextPacketSize(&next); FAILED(hr)) return fail(step_error("GetNextPacketSize", hr));
    if (next == 0) return total;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    if (HRESULT hr = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr); FAILED(hr)) {
      return fail(step_error("GetBuffer", hr));
    }
    if (frames != 0) {
      if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        consumer({}, frames);
      } else {
        consumer(ByteView(data, std::size_t{frames} * 4), frames);
      }
      total += frames;
    }
    capture->ReleaseBuffer(frames);
  }
}

std::unique_ptr<audio::AppCaptureOpener> make_loopback_opener() { return std::make_unique<LoopbackOpener>(); }

}  // namespace nimbra::platform
