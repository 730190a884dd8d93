#pragma once
// Time as the session loop, the encoder thread and the mixer see it. Tests
// hand them a virtual clock; the program hands them the steady clock.
#include <chrono>

namespace nimbra {

using Duration = std::chrono::nanoseconds;
using Instant = std::chrono::nanoseconds;  // since an arbitrary, fixed origin

using namespace std::chrono_literals;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
  virtual void sleep_for(Duration d) = 0;
  void sleep_until(Instant t) {
    Instant n = now();
    if (t > n) sleep_for(t - n);
  }
};

// The monotonic clock of the machine.
Clock& steady_clock();

}  // namespace nimbra
