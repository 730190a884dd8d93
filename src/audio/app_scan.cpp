#include "audio/app_scan.h"

#include <algorithm>
#include <array>

namespace nimbra::audio {
namespace {

constexpr std::array<std::string_view, 4> kRouterNames = {"audiodg", "obs", "obs32", "obs64"};
constexpr std::array<std::string_view, 16> kRouterPrefixes = {
    "voicemeeter", "vbaudio",   "vb-audio",   "steelseries",      "wavelink", "fxsound",
    "nvidia broadcast", "nvbroadcast", "nvidia rtx voice", "krisp", "audiorelay", "voicemod",
    "boom3d",      "audio router", "audiorouter", "audiorepeater"};

using PidSet = std::set<std::uint32_t>;

bool intersects(const PidSet& tree, const PidSet& a, const PidSet& b) {
  return std::ranges::any_of(tree, [&](std::uint32_t pid) { return a.contains(pid) || b.contains(pid); });
}

struct Marks {
  PidSet host;
  PidSet routers;
  bool excluded(std::uint32_t pid) const { return host.contains(pid) || routers.contains(pid); }
  bool tree_excluded(const PidSet& tree) const { return intersects(tree, host, routers); }
};

Marks mark_processes(const ProcessTable& table, const ChildrenMap& children, std::uint32_t host_pid,
                     std::uint32_t own_pid) {
  Marks marks;
  marks.host.insert(own_pid);
  if (host_pid != 0) {
    marks.host.insert(host_pid);
    // Programs the user starts from the host are not the host: only its
    // web views and its own helpers are.
    for (std::uint32_t pid : collect_tree(host_pid, children)) {
      auto entry = table.find(pid);
      if (entry != table.end() && (entry->second.name == "msedgewebview2" || entry->second.name.starts_with("nimbra"))) {
        marks.host.insert(pid);
      }
    }
  }
  for (const auto& [pid, entry] : table) {
    if (entry.name.starts_with("nimbra-vesper")) marks.host.merge(collect_tree(pid, children));
    if (is_audio_router(entry.name)) marks.routers.merge(collect_tree(pid, children));
  }
  return marks;
}

// Moves a session owner up to the top process of its application: parents
// with the same executable name whose trees are clean.
std::uint32_t climb(std::uint32_t pid, const ProcessTable& table, const ChildrenMap& children, const Marks& marks) {
  for (int step = 0; step < kClimbLimit; ++step) {
    const ProcessEntry& entry = table.at(pid);
    const std::uint32_t parent = entry.parent_pid;
    auto up = table.find(parent);
    if (parent == pid || up == table.end() || up->second.name != entry.name || marks.excluded(parent) ||
        marks.tree_excluded(collect_tree(parent, children))) {
      break;
    }
    pid = parent;
  }
  return pid;
}

// Whether another root's tree already holds this one. Of roots that are each
// other's ancestors (a parent relation with a cycle, as reused process ids
// can make), the smallest pid stays, so the application is captured once.
bool nested(std::uint32_t root, const PidSet& roots, const ProcessTable& table, const ChildrenMap& children) {
  PidSet visited{root};
  std::uint32_t current = root;
  for (int step = 0; step < kNestingLimit; ++step) {
    auto entry = table.find(current);
    if (entry == table.end()) return false;
    const std::uint32_t parent = entry->second.parent_pid;
    if (parent == current || parent == 0 || !visited.insert(parent).second) return false;
    if (roots.contains(parent)) {
      const bool cycle = collect_tree(root, children).contains(parent);
      return !cycle || parent < root;
    }
    current = parent;
  }
  return false;
}

}  // namespace

std::string normalise_process_name(std::string_view lowered_file_name) {
  if (lowered_file_name.size() >= 4 && lowered_file_name.ends_with(".exe")) lowered_file_name.remove_suffix(4);
  return std::string(lowered_file_name);
}

bool is_audio_router(std::string_view name) {
  return std::ranges::find(kRouterNames, name) != kRouterNames.end() ||
         std::ranges::any_of(kRouterPrefixes, [&](std::string_view prefix) { return name.starts_with(prefix); });
}

std::vector<std::uint32_t> planned_pids(const ScanResult& result) {
  std::vector<std::uint32_t> pids;
  for (const PlannedApp& app : result.planned) pids.push_back(app.pid);
  return pids;
}

ChildrenMap children_map(const ProcessTable& table) {
  ChildrenMap children;
  for (const auto& [pid, entry] : table) {
    if (entry.parent_pid != pid && entry.parent_pid != 0) children[entry.parent_pid].push_back(pid);
  }
  return children;
}

std::set<std::uint32_t> collect_tree(std::uint32_t root, const ChildrenMap& children) {
  PidSet visited;
  std::vector<std::uint32_t> stack{root};
  while (!stack.empty()) {
    const std::uint32_t pid = stack.back();
    stack.pop_back();
    if (visited.size() > kTreeLimit) break;
    if (!visited.insert(pid).second) continue;
    if (auto kids = children.find(pid); kids != children.end()) {
      stack.insert(stack.end(), kids->second.begin(), kids->second.end());
    }
  }
  return visited;
}

Result<ScanResult> scan_audio_apps(const ProcessTable& table, std::span<const std::uint32_t> session_owners,
                                   std::uint32_t host_pid, std::uint32_t own_pid) {
  if (table.empty()) return fail("снимок процессов пуст");
  const ChildrenMap children = children_map(table);
  const Marks marks = mark_processes(table, children, host_pid, own_pid);

  PidSet roots;
  for (std::uint32_t pid : session_owners) {
    if (!table.contains(pid) || marks.excluded(pid)) continue;
    if (marks.tree_excluded(collect_tree(pid, children))) continue;  // e.g. the shell that started the host
    roots.insert(climb(pid, table, children, marks));
  }

  ScanResult result;
  for (std::uint32_t root : roots) {  // ascending already
    if (!nested(root, roots, table, children)) result.planned.push_back({root, table.at(root).name});
  }
  return result;
}

Result<ScanResult> read_audio_apps(AudioPlatform& platform, std::uint32_t host_pid) {
  const ProcessTable table = platform.process_table();
  if (table.empty()) return scan_audio_apps(table, {}, host_pid, platform.own_pid);
  Result<std::vector<std::uint32_t>> owners = platform.sessions->owners();
  if (!owners) return fail(owners.error());
  return scan_audio_apps(table, *owners, host_pid, platform.own_pid);
}

}  // namespace nimbra::audio
