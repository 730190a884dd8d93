#pragma once
// This platform's capture backends, as the session opens them: the preferred
// one and its fallback, for the primary monitor and for one window.
#include <cstdint>
#include <memory>

#include "capture/capture_source.h"

namespace nimbra::platform {

Result<std::unique_ptr<CaptureSource>> open_screen();
Result<std::unique_ptr<CaptureSource>> open_screen_fallback();
Result<std::unique_ptr<CaptureSource>> open_window(std::int64_t window);
Result<std::unique_ptr<CaptureSource>> open_window_fallback(std::int64_t window);

}  // namespace nimbra::platform
