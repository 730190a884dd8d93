// The screen and window sources against a private Xvfb showing known images.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/linux/x11_screen_source.h"
#include "platform/linux/x11_window_source.h"
#include "xvfb.h"

namespace nimbra {
namespace {

using platform::x11::ScreenSource;
using platform::x11::WindowSource;
using testing::Painter;
using testing::test_pattern;
using testing::Xvfb;

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
  EXPECT_EQ(source.kind(), SourceKind::DesktopDuplication);
  EXPECT_EQ((std::pair{source.width(), source.height()}), (std::pair{320, 200}));
  Bytes out;
  ASSERT_EQ(source.grab(out, 30), Result<bool>(true));  // the first grab always delivers
  EXPECT_EQ(out, picture);

  // Nothing changes: the grab waits its time and reports nothing new, leaving the buffer.
  const auto before = std::chrono::steady_clock::now();
  out[0] ^= 1;
  EXPECT_EQ(source.grab(out, 40), Result<bool>(false));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(35));
  EXPECT_NE(out, picture);

  // A change is delivered, and only once.
  const Bytes patch = test_pattern(5, 9, 77);
  painter.put(painter.root(), 101, 33, 5, 9, patch);
  ASSERT_EQ(source.grab(out, 500), Result<bool>(true));
  EXPECT_EQ(out, patched(picture, 320, patch, 101, 33, 5, 9));
  EXPECT_EQ(source.grab(out, 20), Result<bool>(false));

  // The fallback's plain requests deliver every time.
  auto plain = ScreenSource::open(server.display(), false);
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_EQ((*plain)->kind(), SourceKind::GdiScreen);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ((*plain)->grab(out, 0), Result<bool>(true));
    EXPECT_EQ(out, patched(picture, 320, patch, 101, 33, 5, 9));
  }
}

TEST(X11ScreenSource, OpeningFailsWithReasonsAndALostServerIsAGrabError) {
  {
    Xvfb server("160x120x24", {"-extension", "MIT-SHM"});
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(ScreenSource::open(server.display(), true).error(), "MIT-SHM нет на сервере");
    EXPECT_TRUE(ScreenSource::open(server.display(), false));  // what the fallback is for
  }
  {
    Xvfb server("160x120x16");
    ASSERT_TRUE(server.ok());
    EXPECT_EQ(ScreenSource::open(server.display(), false).error(), "X11: глубина экрана 16 не поддерживается");
  }
  auto nowhere = ScreenSource::open(":999", true);
  ASSERT_FALSE(nowhere);
  EXPECT_TRUE(nowhere.error().starts_with("X11: нет соединения с дисплеем \":999\"")) << nowhere.error();

  auto server = std::make_unique<Xvfb>("160x120x24");
  ASSERT_TRUE(server->ok());
  auto opened = ScreenSource::open(server->display(), true);
  ASSERT_TRUE(opened) << opened.error();
  Bytes out;
  ASSERT_EQ((*opened)->grab(out, 10), Result<bool>(true));
  server.reset();
  Result<bool> r = (*opened)->grab(out, 10);
  if (r && !*r) r = (*opened)->grab(out, 10);  // the loss may show one wait late
  EXPECT_EQ(r, fail("X11: соединение с дисплеем потеряно"));
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
  EXPECT_EQ((*plain)->kind(), SourceKind::GdiWindow);
  Bytes out;
  ASSERT_EQ((*plain)->grab(out, 0), Result<bool>(true));
  EXPECT_EQ(out.size(), picture.size());
  EXPECT_NE(out, picture);

  auto opened = WindowSource::open(server.display(), window, true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  EXPECT_EQ(source.kind(), SourceKind::WgcCapture);
  painter.put(window, 0, 0, 120, 80, picture);  // applications repaint once redirected
  ASSERT_EQ(source.grab(out, 33), Result<bool>(true));
  EXPECT_EQ((std::pair{source.width(), source.height()}), (std::pair{120, 80}));
  EXPECT_EQ(out, picture);
  EXPECT_EQ(source.grab(out, 33), Result<bool>(false));
  painter.create_window(0, 0, 40, 40, 0xFF0000);  // changes on screen outside it do not count
  EXPECT_EQ(source.grab(out, 33), Result<bool>(false));
  const Bytes patch = test_pattern(7, 5, 3);
  painter.put(window, 30, 20, 7, 5, patch);
  ASSERT_EQ(source.grab(out, 33), Result<bool>(true));
  EXPECT_EQ(out, patched(picture, 120, patch, 30, 20, 7, 5));

  // Resized, it is read at its new size; hidden, nothing is delivered.
  painter.configure(window, 100, 30);
  const Bytes wide = test_pattern(100, 30, 1);
  painter.put(window, 0, 0, 100, 30, wide);
  ASSERT_EQ(source.grab(out, 0), Result<bool>(true));
  EXPECT_EQ((std::pair{source.width(), source.height()}), (std::pair{100, 30}));
  EXPECT_EQ(out, wide);
  painter.unmap(window);
  out.assign(4, 1);
  EXPECT_EQ(source.grab(out, 0), Result<bool>(false));
  EXPECT_EQ(out, Bytes(4, 1));
  EXPECT_TRUE(source.alive());
  painter.map(window);
  painter.put(window, 0, 0, 100, 30, picture);
  ASSERT_EQ(source.grab(out, 0), Result<bool>(true));
  EXPECT_EQ(out, Bytes(picture.begin(), picture.begin() + 100 * 30 * 4));

  // Destroyed, neither source is alive any more, and the window cannot be opened.
  painter.destroy(window);
  EXPECT_FALSE(source.alive());
  EXPECT_FALSE((*plain)->alive());
  EXPECT_EQ(source.grab(out, 0), Result<bool>(false));
  for (std::int64_t id : {std::int64_t{window}, std::int64_t{0}, std::int64_t{1} << 33}) {
    EXPECT_EQ(WindowSource::open(server.display(), id, true).error(), "окно не существует");
  }
}

}  // namespace
}  // namespace nimbra
