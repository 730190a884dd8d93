#include "capture/frame_pacer.h"

#include <algorithm>

namespace nimbra {

FramePacer::FramePacer(std::uint32_t fps, bool source_waits, Clock& clock)
    : interval_(Duration(std::chrono::seconds(1)) / std::max<std::uint32_t>(fps, 1)),
      wait_ms_(static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(interval_).count())),
      source_waits_(source_waits),
      clock_(clock),
      next_due_(clock.now()) {}

void FramePacer::new_image() {
  clock_.sleep_until(next_due_);
  const Instant now = clock_.now();
  next_due_ += interval_;
  if (next_due_ <= now) next_due_ = now + interval_;
}

void FramePacer::end_iteration(Instant t0) {
  if (source_waits_) return;
  const Duration spent = clock_.now() - t0;
  if (spent < interval_) clock_.sleep_for(interval_ - spent);
}

}  // namespace nimbra
