#pragma once
// The primary monitor of an X display. With MIT-SHM and DAMAGE a grab waits
// for the screen to change, so a still screen costs one idle wait per frame;
// the plain-request fallback delivers an image whenever asked.
#include <cstdint>
#include <memory>

#include "capture/capture_source.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_damage.h"
#include "platform/linux/x11_image.h"

namespace nimbra::platform::x11 {

// The RandR primary output's CRTC, or the whole root window.
Rect primary_monitor(const Connection& connection);

class ScreenSource final : public CaptureSource {
 public:
  // `display` null means $DISPLAY. Without shared memory the source uses
  // plain requests and never waits.
  static Result<std::unique_ptr<CaptureSource>> open(const char* display, bool shared_memory);
  ~ScreenSource() override;

  bool waits_for_change() const override { return damage_ != nullptr; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;

 private:
  explicit ScreenSource(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}
  void open_mirror();

  std::unique_ptr<Connection> connection_;
  Rect rect_;
  std::unique_ptr<ShmSegment> shm_;
  std::unique_ptr<ShmMirror> mirror_;  // with DAMAGE, where the server puts pixmaps in shared memory
  bool shared_memory_ = false;
  std::unique_ptr<DamageWatch> damage_;  // without DAMAGE the source cannot wait for changes
  bool delivered_ = false;
  Bytes image_;  // what a plain request read
};

}  // namespace nimbra::platform::x11
