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

  bool alive() override;
  // Changes are only looked for, never waited on: the loop paces a window.
  bool waits_for_change() const override { return false; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;

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
  Bytes image_;  // what a plain request read
};

}  // namespace nimbra::platform::x11
