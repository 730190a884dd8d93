#pragma once
// Which applications are captured: the owners of audio sessions, minus the
// host's own processes, its sibling application and audio routers, each
// moved up to the top process of its application. Pure: the platform reads
// the process table and the session owners, this decides.
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_ports.h"

namespace nimbra::audio {

struct PlannedApp {
  std::uint32_t pid = 0;
  std::string name;
  friend bool operator==(const PlannedApp&, const PlannedApp&) = default;
};

struct ScanResult {
  std::vector<PlannedApp> planned;  // ascending by pid
  friend bool operator==(const ScanResult&, const ScanResult&) = default;
};

std::vector<std::uint32_t> planned_pids(const ScanResult& result);

using ChildrenMap = std::map<std::uint32_t, std::vector<std::uint32_t>>;

inline constexpr std::size_t kTreeLimit = 4096;
inline constexpr int kClimbLimit = 16;
inline constexpr int kNestingLimit = 64;

// An executable's file name, already lower-cased, as the table stores it:
// without a trailing ".exe".
std::string normalise_process_name(std::string_view lowered_file_name);

bool is_audio_router(std::string_view name);

ChildrenMap children_map(const ProcessTable& table);

// The root and its descendants; a cyclic parent relation cannot loop it.
std::set<std::uint32_t> collect_tree(std::uint32_t root, const ChildrenMap& children);

Result<ScanResult> scan_audio_apps(const ProcessTable& table, std::span<const std::uint32_t> session_owners,
                                   std::uint32_t host_pid, std::uint32_t own_pid);

// Reads the table and the session owners through the platform and plans.
Result<ScanResult> read_audio_apps(AudioPlatform& platform, std::uint32_t host_pid);

}  // namespace nimbra::audio
