#include "platform/capture_sources.h"

#include "platform/win/desktop_duplication.h"
#include "platform/win/gdi_screen.h"
#include "platform/win/gdi_window.h"
#include "platform/win/wgc_capture.h"

namespace nimbra::platform {

Result<std::unique_ptr<CaptureSource>> open_screen() {
  Result<std::unique_ptr<DesktopDuplication>> duplication = DesktopDuplication::open();
  if (!duplication) return fail(duplication.error());
  return std::unique_ptr<CaptureSource>(std::move(*duplication));
}
Result<std::unique_ptr<CaptureSource>> open_screen_fallback() { return GdiScreen::open(); }
Result<std::unique_ptr<CaptureSource>> open_window(std::int64_t window) { return WgcCapture::start(window); }
Result<std::unique_ptr<CaptureSource>> open_window_fallback(std::int64_t window) { return GdiWindow::open(window); }

}  // namespace nimbra::platform
