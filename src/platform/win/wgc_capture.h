#pragma once
// One window (or the primary monitor) through Windows Graphics Capture. The
// capture objects live on a thread of their own, "wgc-capture", which owns a
// dispatcher queue and pumps messages; each new frame is copied to memory as
// it arrives and parked in a one-frame slot that the capture loop takes from.
// A grab with nothing new hands back the last image again, so the loop paces
// this source and its unchanged-frame rule keeps a still window cheap.
#include <cstdint>
#include <memory>

#include "capture/capture_source.h"

namespace nimbra::platform {

struct WgcShared;

class WgcCapture final : public CaptureSource {
 public:
  // `window` 0 captures the primary monitor.
  static Result<std::unique_ptr<CaptureSource>> start(std::int64_t window);
  ~WgcCapture() override;  // ends the capture thread

  bool alive() override;
  bool waits_for_change() const override { return false; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;

 private:
  explicit WgcCapture(std::shared_ptr<WgcShared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<WgcShared> shared_;
  std::uint32_t logged_received_ = ~0u;
  std::uint32_t logged_empty_ = ~0u;
  Bytes image_;
  Size size_;
  bool has_frame_ = false;
};

}  // namespace nimbra::platform
