#include "platform/win/gdi_screen.h"

#include <algorithm>

namespace nimbra::platform {

Result<std::unique_ptr<CaptureSource>> GdiScreen::open() {
  auto screen = std::make_unique<ScreenDc>();
  if (!screen->valid()) return fail("GetDC(экран) не удался");
  const int width = std::max(GetSystemMetrics(SM_CXSCREEN), 1);
  const int height = std::max(GetSystemMetrics(SM_CYSCREEN), 1);
  return std::unique_ptr<CaptureSource>(new GdiScreen(std::move(screen), width, height));
}

Result<std::optional<BgraFrame>> GdiScreen::grab(std::uint32_t) {
  // SRCCOPY alone: CAPTUREBLT would make layered windows flicker under the cursor.
  if (!BitBlt(canvas_.dc(), 0, 0, canvas_.width(), canvas_.height(), screen_->get(), 0, 0, SRCCOPY)) {
    return std::nullopt;
  }
  return canvas_.read();
}

}  // namespace nimbra::platform
