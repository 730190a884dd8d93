#include "platform/win/gdi_window.h"

#include <algorithm>

#include "platform/process.h"

namespace nimbra::platform {

Result<std::unique_ptr<CaptureSource>> GdiWindow::open(std::int64_t value) {
  const HWND window = window_handle(value);
  if (!IsWindow(window)) return fail("окно не существует");
  const ScreenDc screen;
  if (!screen.valid()) return fail("GetDC для окна не удался");
  RECT client{};
  if (!GetClientRect(window, &client)) return fail("GetClientRect: " + error_text(GetLastError()));
  const int width = std::max<int>(client.right - client.left, 1);
  const int height = std::max<int>(client.bottom - client.top, 1);
  return std::unique_ptr<CaptureSource>(new GdiWindow(window, screen.get(), width, height));
}

Result<std::optional<BgraFrame>> GdiWindow::grab(std::uint32_t) {
  if (IsIconic(window_)) return std::nullopt;
  if (!PrintWindow(window_, canvas_.dc(), PW_RENDERFULLCONTENT)) return std::nullopt;
  return canvas_.read();
}

}  // namespace nimbra::platform
