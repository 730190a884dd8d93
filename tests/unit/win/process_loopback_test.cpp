// Process loopback as far as Wine reaches, and the audio thread's one error where it is missing.
#include "platform/win/process_loopback.h"

#include <gtest/gtest.h>

#include "audio/audio_thread.h"
#include "platform/audio.h"
#include "platform/win/core_audio_sessions.h"

namespace nimbra::platform {
namespace {

TEST(ProcessLoopback, ActivationBlobCarriesTypePidAndMode) {
  AUDIOCLIENT_ACTIVATION_PARAMS params{AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK,
                                       {{0x12345678, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE}}};
  const PROPVARIANT blob = loopback_blob(params);
  EXPECT_EQ(blob.vt, VT_BLOB);
  EXPECT_EQ(Bytes(blob.blob.pBlobData, blob.blob.pBlobData + blob.blob.cbSize),
            (Bytes{1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
}

// A completion object: agile, no other interface, and how often two calls signal.
template <class Object, class Call>
void check_agile(Call call, int signals) {
  Channel<char> channel = make_unbounded_channel<char>();
  auto* object = new Object(std::move(channel.sender));
  for (REFIID iid : {__uuidof(IUnknown), __uuidof(IAgileObject), __uuidof(IMarshal), __uuidof(IAudioClient)}) {
    IUnknown* answer = reinterpret_cast<IUnknown*>(1);
    const HRESULT found = object->QueryInterface(iid, reinterpret_cast<void**>(&answer));
    EXPECT_EQ(found, iid == __uuidof(IAudioClient) ? E_NOINTERFACE : S_OK) << typeid(Object).name();
    if (answer != nullptr && SUCCEEDED(found)) answer->Release();
    EXPECT_EQ(answer == nullptr, FAILED(found));
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(call(*object), S_OK);
  while (channel.receiver.try_receive()) --signals;
  EXPECT_EQ(signals, 0) << typeid(Object).name();
  EXPECT_EQ(object->Release(), 0u);
}

TEST(ProcessLoopback, CompletionObjectsAreAgileAndActivationSignalsOnce) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  check_agile<ActivationHandler>([](ActivationHandler& h) { return h.ActivateCompleted(nullptr); }, 1);
  check_agile<SessionNotifier>([](SessionNotifier& n) { return n.OnSessionCreated(nullptr); }, 2);
}

// Hands out scripted packets (frames, flags); fails once three were released.
struct ScriptedCapture final : IAudioCaptureClient {
  std::vector<std::pair<UINT32, DWORD>> packets;
  std::vector<UINT32> released;
  BYTE data[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5A};
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** out, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override {
    *out = data, *frames = packets.front().first, *flags = packets.front().second;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    released.push_back(frames);
    packets.erase(packets.begin());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    *frames = packets.empty() ? 0 : packets.front().first;
    return released.size() < 3 ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
  }
};

TEST(ProcessLoopback, DrainHandsOverDataAndSilentFrameCounts) {
  ScriptedCapture capture;
  capture.packets = {{480, AUDCLNT_BUFFERFLAGS_SILENT}, {3, 0}};
  std::vector<std::pair<Bytes, std::uint32_t>> got;
  EXPECT_EQ(drain_packets(&capture, [&](ByteView b, std::uint32_t n) { got.emplace_back(Bytes(b.begin(), b.end()), n); }),
            483u);
  EXPECT_EQ(got, (std::vector<std::pair<Bytes, std::uint32_t>>{{{}, 480}, {Bytes(capture.data, capture.data + 12), 3}}));
  EXPECT_EQ(capture.released, (std::vector<UINT32>{480, 3}));
  capture.packets = {{1, 0}};
  EXPECT_TRUE(drain_packets(&capture, [](ByteView, std::uint32_t) {}).error().starts_with("GetNextPacketSize: "));
}

TEST(ProcessLoopback, WithoutProcessLoopbackTheAudioThreadSendsOneError) {
  if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) GTEST_SKIP() << "Windows 10 2004+ has it";
  std::vector<std::pair<std::uint8_t, std::string>> sent;
  audio::audio_thread_main({1234, [&](std::uint8_t kind, ByteView p) { sent.emplace_back(kind, std::string(p.begin(), p.end())); },
                            make_audio_platform(), &steady_clock(), [](std::string_view) {}});
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].first, 1);
  EXPECT_TRUE(sent[0].second.starts_with(R"({"audio_err":"Звук приложений недоступен: )")) << sent[0].second;
}

}  // namespace
}  // namespace nimbra::platform
