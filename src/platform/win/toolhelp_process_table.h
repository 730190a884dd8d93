#pragma once
#include <string>
#include <string_view>

#include "audio/audio_ports.h"

namespace nimbra::platform {

// Every process of one Tool Help snapshot, names normalised; empty when the
// snapshot cannot be taken.
audio::ProcessTable read_toolhelp_process_table();

// A snapshot's executable name (up to its NUL) lower-cased, as UTF-8 with
// unpaired surrogates replaced, without a trailing ".exe".
std::string process_name(std::wstring_view file_name);

}  // namespace nimbra::platform
