#include "platform/capture_sources.h"

namespace nimbra::platform {

// The Windows backends come later; until then a capture session ends with
// status 3 and says why.
Result<std::unique_ptr<CaptureSource>> open_screen() { return fail("DXGI-дубликация в этой сборке ещё не реализована"); }
Result<std::unique_ptr<CaptureSource>> open_screen_fallback() {
  return fail("GDI-захват экрана в этой сборке ещё не реализован");
}
Result<std::unique_ptr<CaptureSource>> open_window(std::int64_t) {
  return fail("Windows Graphics Capture в этой сборке ещё не реализован");
}
Result<std::unique_ptr<CaptureSource>> open_window_fallback(std::int64_t) {
  return fail("PrintWindow-захват в этой сборке ещё не реализован");
}

}  // namespace nimbra::platform
