#pragma once
// The whole screen through GDI: BitBlt of the screen into a memory bitmap.
// The fallback where desktop duplication cannot be opened; it delivers an
// image whenever asked, so the loop paces it.
#include <memory>

#include "capture/capture_source.h"
#include "platform/win/gdi_canvas.h"

namespace nimbra::platform {

class GdiScreen final : public CaptureSource {
 public:
  static Result<std::unique_ptr<CaptureSource>> open();

  bool waits_for_change() const override { return false; }
  // A failed BitBlt or read-out is no new image, never an error.
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;

 private:
  GdiScreen(std::unique_ptr<ScreenDc> screen, int width, int height)
      : screen_(std::move(screen)), canvas_(screen_->get(), width, height) {}

  std::unique_ptr<ScreenDc> screen_;
  GdiCanvas canvas_;
};

}  // namespace nimbra::platform
