#pragma once
#include "cli/command_line.h"

namespace nimbra {

// Capture mode: runs until the session ends, then ends the process.
[[noreturn]] void run_capture(const CaptureSettings& settings);

// Watch mode: the exit status.
int run_watch(const WatchRequest& request);

}  // namespace nimbra
