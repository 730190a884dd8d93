#pragma once
// One X window. Through Composite the window's own pixmap is read, so a
// covered or partly off-screen window still comes out whole; the fallback
// reads the window itself, as the screen shows it.
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>

#include "capture/capture_source.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_damage.h"
#include "platform/linux/x11_image.h"

namespace nimbra::platform::x11 {

class WindowSource final : public CaptureSource {
 public:
  // `display` null means $DISPLAY.
  static Result<std::unique_ptr<CaptureSource>> open(const char* display, std::int64_t window, bool composite);
  ~WindowSource() override;

  SourceKind kind() const override { return composite_ ? SourceKind::WgcCapture : SourceKind::GdiWindow; }
  bool alive() override;
  std::int32_t width() const override { return width_; }
  std::int32_t height() const override { return height_; }
  Result<bool> grab(Bytes& out, std::uint32_t wait_ms) override;

 private:
  WindowSource(std::unique_ptr<Connection> connection, xcb_window_t window, bool composite)
      : connection_(std::move(connection)), window_(window), composite_(composite) {}
  void release_pixmap();

  std::unique_ptr<Connection> connection_;
  xcb_window_t window_;
  bool composite_;
  bool shared_memory_ = false;
  std::unique_ptr<ShmSegment> shm_;
  xcb_pixmap_t pixmap_ = XCB_NONE;  // the window's contents while it is viewable
  std::unique_ptr<DamageWatch> damage_;  // with Composite: an unchanged window is not read again
  bool delivered_ = false;
  bool gone_ = false;
  bool was_viewable_ = false;
  std::int32_t width_ = 1;
  std::int32_t height_ = 1;
};

}  // namespace nimbra::platform::x11
