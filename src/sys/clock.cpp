#include "sys/clock.h"

#include <thread>

namespace nimbra {
namespace {

class SteadyClock final : public Clock {
 public:
  Instant now() const override {
    return std::chrono::duration_cast<Instant>(std::chrono::steady_clock::now().time_since_epoch());
  }
  void sleep_for(Duration d) override {
    if (d > Duration::zero()) std::this_thread::sleep_for(d);
  }
};

}  // namespace

Clock& steady_clock() {
  static SteadyClock* clock = new SteadyClock;  // never destroyed: threads may outlive main
  return *clock;
}

}  // namespace nimbra
