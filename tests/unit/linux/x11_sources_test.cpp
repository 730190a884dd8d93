// The screen and window sources against a private Xvfb showing known images.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "platform/linux/x11_screen_source.h"
#include "platform/linux/x11_window_source.h"
#include "xvfb.h"

namespace nimbra {
namespace {

using platform::x11::ScreenSource;
using platform::x11::WindowSource;
using testing::Painter;
using testing::Xvfb;

// Random BGRA with alpha 255: any byte out of place shows.
Bytes test_pattern(std::uint32_t w, std::uint32_t h, std::uint32_t seed = 0) {
  std::mt19937 random(seed);
  Bytes image(std::size_t{w} * h * 4);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(random());
  return image;
}

// A new image's bytes (and size and changed rows), or empty for "nothing new"; an error fails the test.
Bytes grab(CaptureSource& source, std::uint32_t wait_ms, Size* size = nullptr, RowSpan* changed = nullptr) {
  Result<std::optional<BgraFrame>> r = source.grab(wait_ms);
  EXPECT_TRUE(r) << r.error();
  if (!r || !*r) return {};
  if (size != nullptr) *size = (*r)->size;
  if (changed != nullptr) *changed = (*r)->changed;
  return Bytes((*r)->pixels.begin(), (*r)->pixels.end());
}

// `picture` with a w x h `patch` pasted at (x, y).
Bytes patched(Bytes picture, std::uint32_t width, const Bytes& patch, std::uint32_t x, std::uint32_t y,
              std::uint32_t w, std::uint32_t h) {
  for (std::uint32_t row = 0; row < h; ++row) {
    std::copy_n(patch.begin() + row * w * 4, w * 4, picture.begin() + ((y + row) * width + x) * 4);
  }
  return picture;
}

TEST(X11ScreenSource, GrabsTheScreenExactlyAndWaitsOnAStillOne) {
  Xvfb server("320x200x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const Bytes picture = test_pattern(320, 200);
  painter.put(painter.root(), 0, 0, 320, 200, picture);

  auto opened = ScreenSource::open(server.display(), true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  EXPECT_TRUE(source.waits_for_change());
  Size size;
  RowSpan changed;
  EXPECT_EQ(grab(source, 30, &size, &changed), picture);  // the first grab always delivers, all of it changed
  EXPECT_EQ(size, (Size{320, 200}));
  EXPECT_EQ(changed.joined({0, 200}), changed);

  // Nothing changes: the grab waits its time and reports nothing new.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(grab(source, 40), Bytes());
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(35));

  // A change is delivered, with the rows it reached, and only once.
  const Bytes patch = test_pattern(5, 9, 77);
  painter.put(painter.root(), 101, 33, 5, 9, patch);
  EXPECT_EQ(grab(source, 500, nullptr, &changed), patched(picture, 320, patch, 101, 33, 5, 9));
  EXPECT_EQ(changed, (RowSpan{33, 42}));
  EXPECT_EQ(grab(source, 20), Bytes());

  // The fallback's plain requests deliver every time.
  auto plain = ScreenSource::open(server.display(), false);
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_FALSE((*plain)->waits_for_change());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(grab(**plain, 0), patched(picture, 320, patch, 101, 33, 5, 9));
}

// A lost server is held to its text by the capture process test.
TEST(X11ScreenSource, OpeningFailsWithReasons) {
  {
    Xvfb server("160x120x24 -extension MIT-SHM");
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(ScreenSource::open(server.display(), true).error(), "MIT-SHM нет на сервере");
    EXPECT_TRUE(ScreenSource::open(server.display(), false));  // what the fallback is for
  }
  Xvfb server("160x120x16");
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(ScreenSource::open(server.display(), false).error(), "X11: глубина экрана 16 не поддерживается");
  auto nowhere = ScreenSource::open(":999", true);
  ASSERT_FALSE(nowhere);
  EXPECT_TRUE(nowhere.error().starts_with("X11: нет соединения с дисплеем \":999\"")) << nowhere.error();
}

TEST(X11WindowSource, CompositeReadsACoveredWindowWholeAndOnlyWhenItChanges) {
  Xvfb server("320x240x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const xcb_window_t window = painter.create_window(20, 30, 120, 80, 0x000000);
  const Bytes picture = test_pattern(120, 80, 9);
  painter.put(window, 0, 0, 120, 80, picture);
  painter.create_window(60, 50, 200, 150, 0x00FF00);  // covers most of it

  // What the screen shows: the fallback sees the cover, not the window.
  auto plain = WindowSource::open(server.display(), window, false);
  ASSERT_TRUE(plain) << plain.error();
  Bytes out = grab(**plain, 0);
  EXPECT_EQ(out.size(), picture.size());
  EXPECT_NE(out, picture);

  auto opened = WindowSource::open(server.display(), window, true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  EXPECT_FALSE(source.waits_for_change());
  painter.put(window, 0, 0, 120, 80, picture);  // applications repaint once redirected
  Size size;
  EXPECT_EQ(grab(source, 33, &size), picture);
  EXPECT_EQ(size, (Size{120, 80}));
  EXPECT_EQ(grab(source, 33), Bytes());
  painter.create_window(0, 0, 40, 40, 0xFF0000);  // changes on screen outside it do not count
  EXPECT_EQ(grab(source, 33), Bytes());
  const Bytes patch = test_pattern(7, 5, 3);
  painter.put(window, 30, 20, 7, 5, patch);
  RowSpan changed;
  EXPECT_EQ(grab(source, 33, nullptr, &changed), patched(picture, 120, patch, 30, 20, 7, 5));  // rows 20-24 read again
  EXPECT_EQ(changed, (RowSpan{20, 25}));

  // Resized, it is read at its new size; hidden, nothing is delivered.
  painter.configure(window, 100, 30);
  const Bytes wide = test_pattern(100, 30, 1);
  painter.put(window, 0, 0, 100, 30, wide);
  EXPECT_EQ(grab(source, 0, &size), wide);
  EXPECT_EQ(size, (Size{100, 30}));
  painter.unmap(window);
  EXPECT_EQ(grab(source, 0), Bytes());
  EXPECT_TRUE(source.alive());
  painter.map(window);
  painter.put(window, 0, 0, 100, 30, picture);
  EXPECT_EQ(grab(source, 0), Bytes(picture.begin(), picture.begin() + 100 * 30 * 4));

  // Destroyed, neither source is alive any more, and the window cannot be opened.
  painter.destroy(window);
  EXPECT_FALSE(source.alive());
  EXPECT_FALSE((*plain)->alive());
  EXPECT_EQ(grab(source, 0), Bytes());
  for (std::int64_t id : {std::int64_t{window}, std::int64_t{0}, std::int64_t{1} << 33}) {
    EXPECT_EQ(WindowSource::open(server.display(), id, true).error(), "окно не существует");
  }
}

}  // namespace
}  // namespace nimbra
