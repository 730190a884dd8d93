#pragma once
// Keeps the capture loop at its frame rate. New images are spaced one period
// apart without drift while the loop keeps up, and after a stall the
// schedule restarts from now instead of catching up in a burst. A source
// whose grab does not wait for changes is paced by sleeping out the rest of
// each iteration's period.
#include <cstdint>

#include "sys/clock.h"

namespace nimbra {

class FramePacer {
 public:
  FramePacer(std::uint32_t fps, bool source_waits, Clock& clock);

  Duration interval() const { return interval_; }
  // The wait for every grab: the period in whole milliseconds.
  std::uint32_t wait_ms() const { return wait_ms_; }

  // A new image came: waits until it is due and schedules the next one.
  void new_image();
  // The iteration that began at t0 is over.
  void end_iteration(Instant t0);

 private:
  Duration interval_;
  std::uint32_t wait_ms_;
  bool source_waits_;
  Clock& clock_;
  Instant next_due_;
};

}  // namespace nimbra
