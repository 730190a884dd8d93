#pragma once
// This platform's application audio: process table, audio sessions and
// per-application capture (Core Audio process loopback on Windows,
// PulseAudio monitor streams on Linux).
#include <memory>

#include "audio/audio_ports.h"

namespace nimbra::platform {

// Connects nothing yet: the first capture client opened (the mixer's probe)
// finds out whether capture works here.
std::unique_ptr<audio::AudioPlatform> make_audio_platform();

}  // namespace nimbra::platform
