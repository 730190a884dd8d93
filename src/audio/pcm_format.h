#pragma once
// The one sound format downstream of the capture clients: 48 kHz stereo,
// signed 16-bit little-endian, left then right.
#include <cstddef>
#include <cstdint>

namespace nimbra::audio {

inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint32_t kChannels = 2;
inline constexpr std::size_t kBytesPerFrame = 4;
inline constexpr std::size_t kChunkFrames = 960;  // 20 ms
inline constexpr std::size_t kChunkSamples = kChunkFrames * kChannels;
inline constexpr std::size_t kChunkBytes = kChunkFrames * kBytesPerFrame;

}  // namespace nimbra::audio
