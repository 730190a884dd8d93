#pragma once
// Virtual time: sleeping advances it at once, and actions scheduled for an instant run when time passes that instant.
#include <functional>
#include <map>
#include <vector>

#include "sys/clock.h"

namespace nimbra::testing {

class FakeClock final : public Clock {
 public:
  Instant now() const override { return now_; }
  void sleep_for(Duration d) override { sleeps.push_back(d), advance(d); }
  void advance(Duration d) {
    const Instant target = now_ + std::max(d, Duration::zero());
    while (!scheduled_.empty() && scheduled_.begin()->first <= target) {
      auto first = scheduled_.extract(scheduled_.begin());
      now_ = std::max(now_, first.key());
      first.mapped()();
    }
    now_ = target;
  }
  void at(Instant t, std::function<void()> action) { scheduled_.emplace(t, std::move(action)); }

  std::vector<Duration> sleeps;

 private:
  Instant now_{1'000'000'000'000};  // far from 0, so "now - 3 s" stays positive
  std::multimap<Instant, std::function<void()>> scheduled_;
};

}  // namespace nimbra::testing
