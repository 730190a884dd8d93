#include "audio/audio_thread.h"

#include <system_error>
#include <thread>
#include <utility>

#include "audio/session_scan.h"
#include "wire/handshake.h"

namespace nimbra::audio {

void audio_thread_main(AudioThreadArgs args) {
  AudioPlatform& platform = *args.platform;
  if (platform.enter_thread) platform.enter_thread("sys-audio");
  Clock& clock = *args.clock;
  ScanThreadStarter start_scan = [&clock, &platform, host = args.host_pid, diagnostic = args.diagnostic](
                                     std::vector<std::uint32_t> sent, Sender<ScanResult> results) -> Status {
    try {
      std::thread([&clock, &platform, host, diagnostic, sent = std::move(sent), results = std::move(results)]() mutable {
        if (platform.enter_thread) platform.enter_thread("sys-audio-scan");
        run_session_scan(host, ScanPorts{clock, platform, diagnostic}, std::move(results), std::move(sent));
      }).detach();
    } catch (const std::system_error& error) {
      return fail(error.what());
    }
    return {};
  };
  Status ran = run_app_mixer(args.host_pid, MixerPorts{clock, platform, args.diagnostic, args.sink, start_scan});
  const std::string status = audio_error_json(kUnavailable + ran.error());
  args.sink(static_cast<std::uint8_t>(MessageKind::Json),
            ByteView(reinterpret_cast<const std::uint8_t*>(status.data()), status.size()));
}

void start_audio_thread(AudioThreadArgs args) {
  try {
    std::thread(audio_thread_main, std::move(args)).detach();
  } catch (const std::system_error&) {
    // The host is not told: it simply gets no audio status.
  }
}

}  // namespace nimbra::audio
