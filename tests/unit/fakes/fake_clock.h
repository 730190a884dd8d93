#pragma once
#include <functional>
#include <map>
#include <vector>

#include "sys/clock.h"

namespace nimbra::testing {

// Virtual time: sleeping advances it at once, and actions scheduled for an
// instant run when time passes that instant.
class FakeClock final : public Clock {
 public:
  Instant now() const override { return now_; }
  void sleep_for(Duration d) override {
    sleeps.push_back(d);
    advance(d);
  }
  void advance(Duration d) {
    if (d < Duration::zero()) return;
    const Instant target = now_ + d;
    while (!scheduled_.empty() && scheduled_.begin()->first <= target) {
      auto first = scheduled_.begin();
      now_ = std::max(now_, first->first);
      auto action = std::move(first->second);
      scheduled_.erase(first);
      action();
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
