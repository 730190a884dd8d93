#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audio/audio_ports.h"

namespace nimbra::platform {

// Every process in /proc: the executable's file name (the last element of
// /proc/PID/exe, or the comm field when that cannot be read) lower-cased and
// normalised, and the parent pid. Processes that vanish meanwhile are skipped.
audio::ProcessTable read_proc_process_table();

// The parent pid and normalised name of one process, if it still exists.
std::optional<audio::ProcessEntry> read_proc_entry(std::uint32_t pid);

// UTF-8 with each invalid byte replaced by U+FFFD, then lower-cased.
std::string lower_case_utf8(std::string_view text);

}  // namespace nimbra::platform
