#pragma once
// The "sys-audio" thread: runs the application mixer beside the video and
// turns a mixer that cannot start into one audio_err status for the host.
#include <cstdint>
#include <memory>

#include "audio/app_mixer.h"
#include "audio/audio_ports.h"

namespace nimbra::audio {

inline constexpr const char* kUnavailable = "Звук приложений недоступен: ";

struct AudioThreadArgs {
  std::uint32_t host_pid = 0;
  AudioSink sink;
  std::unique_ptr<AudioPlatform> platform;
  Clock* clock = nullptr;
  DiagnosticSink diagnostic;
};

// Returns only when the mixer could not start, after its audio_err.
void audio_thread_main(AudioThreadArgs args);

// Starts "sys-audio" detached; it is never joined.
void start_audio_thread(AudioThreadArgs args);

}  // namespace nimbra::audio
