#pragma once
// One window through GDI: PrintWindow renders it into a memory bitmap of the
// client area's size at opening, so a covered window still comes out whole.
// The fallback where Windows Graphics Capture cannot be started; the bitmap
// keeps its size (a window that grows is cut, one that shrinks leaves the
// rest as it was).
#include <windows.h>

#include <cstdint>
#include <memory>

#include "capture/capture_source.h"
#include "platform/win/gdi_canvas.h"

namespace nimbra::platform {

class GdiWindow final : public CaptureSource {
 public:
  static Result<std::unique_ptr<CaptureSource>> open(std::int64_t window);

  bool alive() override { return IsWindow(window_) != 0; }
  bool waits_for_change() const override { return false; }
  // A minimised window, or a failed PrintWindow or read-out, is no new image.
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;

 private:
  GdiWindow(HWND window, HDC screen, int width, int height) : window_(window), canvas_(screen, width, height) {}

  HWND window_;
  GdiCanvas canvas_;
};

// A window handle as the command line gives it.
inline HWND window_handle(std::int64_t value) { return reinterpret_cast<HWND>(static_cast<std::intptr_t>(value)); }

}  // namespace nimbra::platform
