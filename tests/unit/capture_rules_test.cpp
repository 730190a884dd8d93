// The rules the capture loop calls, each on its own: pacing, digests, previews, the choice of backend.
#include <gtest/gtest.h>

#include "capture/frame_digest.h"
#include "capture/frame_pacer.h"
#include "capture/preview_writer.h"
#include "capture/source_fallback.h"
#include "fakes/fake_clock.h"
#include "pixels/preview.h"

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

TEST(FrameDigest, EveryByteCounts) {
  Bytes frame(1280 * 720 * 4, 0xF0);
  const FrameDigest base = frame_digest(frame);
  for (std::size_t at : {std::size_t{1}, std::size_t{63}, std::size_t{65}, frame.size() / 2 + 3, frame.size() - 1}) {
    Bytes changed = frame;
    changed[at] ^= 1;
    EXPECT_NE(frame_digest(changed), base) << at;
  }
  EXPECT_EQ(frame_digest({}), 0u);
}

TEST(BandedDigest, HashesAgainTheRowsItIsToldChangedOrAllOfAnotherLayout) {
  Bytes frame(40 * 8, 0x5A);  // rows of 8 bytes: two bands of 16 rows and a short one
  BandedDigest digest;
  const FrameDigest base = digest.update(frame, 8, RowSpan::all());
  for (const std::uint32_t row : {0u, 17u, 39u}) {
    frame[row * 8 + 3] ^= 1;
    EXPECT_NE(digest.update(frame, 8, {row, row + 1}), base) << row;
    frame[row * 8 + 3] ^= 1;
    EXPECT_EQ(digest.update(frame, 8, {row, row + 1}), base) << row;
  }
  for (const std::size_t row_bytes : {std::size_t{8}, std::size_t{4}}) {  // longer, then shorter rows
    frame.assign(frame.size() + row_bytes, 0x11);
    EXPECT_EQ(digest.update(frame, row_bytes, {}), BandedDigest().update(frame, row_bytes, RowSpan::all()));
  }
}

TEST(PreviewPacer, MakesAPreviewOfEitherKindOfFrameAtMostEveryHalfSecond) {
  testing::FakeClock clock;
  Channel<Bytes> channel = make_unbounded_channel<Bytes>();
  PreviewPacer pacer(std::move(channel.sender), clock);
  const Bytes bgra(64 * 36 * 4, 90), nv12(64 * 36 * 3 / 2, 90);
  Bytes from_bgra(kPreviewBytes), from_nv12(kPreviewBytes);
  preview_from_bgra(bgra, 64, 36, from_bgra);
  preview_from_nv12(nv12, 64, 36, from_nv12);
  for (Duration after : {0ms, 499ms, 1ms}) {  // offers at 0, 499 and 500 ms
    clock.advance(after);
    pacer.offer(after == 0ms ? bgra : nv12, {64, 36}, after != 0ms);
  }
  EXPECT_EQ(channel.receiver.try_receive(), from_bgra);
  EXPECT_EQ(channel.receiver.try_receive(), from_nv12);
  EXPECT_EQ(channel.receiver.try_receive(), std::nullopt);
}

TEST(SourceFallback, TriesThePreferredBackendThenTheFallbackWithItsLines) {
  using Lines = std::vector<std::string>;
  // texts, the two backends' errors, the lines.
  const std::tuple<const FallbackLines&, std::string, std::string, Lines> cases[] = {
      {kScreenFallback, "", "", {}},
      {kScreenFallback, "E1", "E2", {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"}},
      {kWindowFallback, "W1", "", {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"}},
      {kWindowFallback, "W1", "окно не существует",
       {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"}},
  };
  for (const auto& [texts, preferred_error, fallback_error, want] : cases) {
    std::string tried;
    auto opener = [&](char id, std::string error) -> SourceOpener {
      return [&, id, error]() -> Result<std::unique_ptr<CaptureSource>> {
        tried += id;
        if (!error.empty()) return fail(error);
        return std::unique_ptr<CaptureSource>();  // never looked into
      };
    };
    Lines lines;
    auto source = open_with_fallback(opener('1', preferred_error), opener('2', fallback_error), texts,
                                     [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, want);
    EXPECT_EQ(tried, preferred_error.empty() ? "1" : "12");
    EXPECT_EQ(source ? std::string() : source.error(), fallback_error) << preferred_error;
  }
}

}  // namespace
}  // namespace nimbra
