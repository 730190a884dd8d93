#include "capture/frame_pacer.h"

#include <gtest/gtest.h>

#include "fakes/fake_clock.h"

namespace nimbra {
namespace {

TEST(FramePacer, SpacesNewImagesWithoutDriftAndDoesNotCatchUpAfterAStall) {
  testing::FakeClock clock;
  FramePacer pacer(30, true, clock);
  const Instant start = clock.now();
  std::vector<Duration> at;
  for (int i = 0; i < 8; ++i) {
    pacer.new_image();
    at.push_back(clock.now() - start);
    // The work of one frame; the fourth stalls, the sixth overruns its period a little.
    clock.advance(i == 3 ? 200ms : i == 5 ? 40ms : 7ms);
  }
  const Duration frame{33'333'333}, resumed = 3 * frame + 200ms;
  EXPECT_EQ(at, (std::vector<Duration>{0 * frame, frame, 2 * frame, 3 * frame, resumed, resumed + frame,
                                       resumed + frame + 40ms, resumed + 3 * frame}));
}

TEST(FramePacer, SleepsOutThePeriodOnlyForASourceThatDoesNotWait) {
  for (const bool waits : {false, true}) {
    testing::FakeClock clock;
    FramePacer pacer(30, waits, clock);
    const Instant t0 = clock.now();
    clock.advance(10ms);
    pacer.end_iteration(t0);
    EXPECT_EQ(clock.now() - t0, waits ? Duration(10ms) : pacer.interval()) << waits;
  }
}

}  // namespace
}  // namespace nimbra
