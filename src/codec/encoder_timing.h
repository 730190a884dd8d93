#pragma once
// Time stamps and key-frame spacing shared by every encoder backend.
#include <algorithm>
#include <cstdint>

namespace nimbra {

// An fps of 0 counts as 1.
constexpr std::int64_t sample_duration_100ns(std::uint32_t fps) { return 10'000'000 / std::max<std::uint32_t>(fps, 1); }

// Two seconds of pictures, never fewer than 30, so a viewer joining late
// waits a bounded time for a key frame.
constexpr std::uint32_t key_frame_interval(std::uint32_t fps) { return std::max<std::uint32_t>(30, 2 * fps); }

}  // namespace nimbra
