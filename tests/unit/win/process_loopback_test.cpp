// Process loopback as far as Wine reaches: the activation blob, the agile
// completion objects, packet draining against a scripted capture client, and
// the audio thread's one error where process loopback is missing.
#include "platform/win/process_loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <variant>

#include "audio/audio_thread.h"
#include "memory_streams.h"
#include "platform/audio.h"
#include "platform/win/core_audio_sessions.h"
#include "wire/message_writer.h"

namespace nimbra::platform {
namespace {

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(ProcessLoopback, ActivationBlobCarriesTypePidAndMode) {
  AUDIOCLIENT_ACTIVATION_PARAMS params{};
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams = {0x12345678, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE};
  const PROPVARIANT blob = loopback_blob(params);
  EXPECT_EQ(blob.vt, 65);
  ASSERT_EQ(blob.blob.cbSize, 12u);
  EXPECT_EQ(Bytes(blob.blob.pBlobData, blob.blob.pBlobData + 12),
            (Bytes{1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
}

// Both completion objects: agile, and what each call of theirs signals.
template <class Object, class Call>
void check_agile(Call call, int signals_wanted) {
  SCOPED_TRACE(typeid(Object).name());
  Channel<char> channel = make_unbounded_channel<char>();
  auto* object = new Object(std::move(channel.sender));
  for (REFIID iid : {__uuidof(IUnknown), __uuidof(IAgileObject), __uuidof(IMarshal)}) {
    IUnknown* answer = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&answer)), S_OK);
    ASSERT_NE(answer, nullptr);
    answer->Release();
  }
  IUnknown* none = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(object->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(call(*object), S_OK);
  EXPECT_EQ(call(*object), S_OK);
  int signals = 0;
  while (channel.receiver.try_receive()) ++signals;
  EXPECT_EQ(signals, signals_wanted);
  EXPECT_EQ(object->Release(), 0u);
}

TEST(ProcessLoopback, CompletionObjectsAreAgileAndActivationSignalsOnce) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  check_agile<ActivationHandler>([](ActivationHandler& h) { return h.ActivateCompleted(nullptr); }, 1);
  check_agile<SessionNotifier>([](SessionNotifier& n) { return n.OnSessionCreated(nullptr); }, 2);
}

// A capture client that hands out scripted packets: (frames, flags).
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

TEST(ProcessLoopback, WineGivesOneAudioErrorAndLeavesTheVideoAlone) {
  if (!under_wine()) GTEST_SKIP() << "a real Windows 10 2004+ has process loopback";
  testing::MemoryOutput out;
  MessageWriter writer(out);
  const Bytes video(5000, 0x42);
  std::atomic<bool> done{false};
  std::thread encoder([&] {
    while (!done) writer.write(MessageKind::MainDelta, video);
  });
  audio::audio_thread_main({1234, [&](std::uint8_t kind, ByteView p) { writer.write(kind, p); }, make_audio_platform(),
                            &steady_clock(), [](std::string_view) {}});
  done = true;
  encoder.join();
  EXPECT_FALSE(out.overlapped);
  const auto messages = testing::parse_messages(out.data);
  int statuses = 0;
  for (const auto& m : messages) {
    if (m.kind == 1) {
      ++statuses;
      EXPECT_TRUE(m.text().starts_with(R"({"audio_err":"Звук приложений недоступен: )")) << m.text();
    } else {
      EXPECT_EQ(m.kind, 3);
      EXPECT_EQ(m.payload, video);
    }
  }
  EXPECT_EQ(statuses, 1);
}

}  // namespace
}  // namespace nimbra::platform
