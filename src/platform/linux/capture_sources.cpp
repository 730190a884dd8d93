#include "platform/capture_sources.h"

#include "platform/linux/x11_screen_source.h"
#include "platform/linux/x11_window_source.h"

namespace nimbra::platform {

// Shared memory with DAMAGE is the duplication of this platform (a grab that
// waits for changes); plain requests are its GDI.
Result<std::unique_ptr<CaptureSource>> open_screen() { return x11::ScreenSource::open(nullptr, true); }
Result<std::unique_ptr<CaptureSource>> open_screen_fallback() { return x11::ScreenSource::open(nullptr, false); }
// Composite is this platform's window capture; the window as the screen shows it, its fallback.
Result<std::unique_ptr<CaptureSource>> open_window(std::int64_t window) {
  return x11::WindowSource::open(nullptr, window, true);
}
Result<std::unique_ptr<CaptureSource>> open_window_fallback(std::int64_t window) {
  return x11::WindowSource::open(nullptr, window, false);
}

}  // namespace nimbra::platform
