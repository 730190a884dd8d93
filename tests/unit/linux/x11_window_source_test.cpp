// The window source against a private Xvfb: covered, resized, hidden and
// destroyed windows.
#include "platform/linux/x11_window_source.h"

#include <gtest/gtest.h>

#include "xvfb.h"

namespace nimbra {
namespace {

using platform::x11::WindowSource;
using testing::Painter;
using testing::test_pattern;
using testing::Xvfb;

TEST(X11WindowSource, CompositeReadsACoveredWindowWhole) {
  Xvfb server("320x240x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const xcb_window_t window = painter.create_window(20, 30, 120, 80, 0x000000);
  const Bytes picture = test_pattern(120, 80, 9);
  painter.put(window, 0, 0, 120, 80, picture);
  painter.create_window(60, 50, 200, 150, 0x00FF00);  // covers most of it

  // What the screen shows: the fallback sees the cover, not the window.
  {
    auto plain = WindowSource::open(server.display(), window, false);
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ((*plain)->kind(), SourceKind::GdiWindow);
    Bytes out;
    ASSERT_EQ((*plain)->grab(out, 0), Result<bool>(true));
    EXPECT_EQ(out.size(), picture.size());
    EXPECT_NE(out, picture);
  }

  auto opened = WindowSource::open(server.display(), window, true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  EXPECT_EQ(source.kind(), SourceKind::WgcCapture);
  EXPECT_TRUE(source.alive());
  painter.put(window, 0, 0, 120, 80, picture);  // applications repaint once redirected
  Bytes out;
  ASSERT_EQ(source.grab(out, 33), Result<bool>(true));
  EXPECT_EQ(source.width(), 120);
  EXPECT_EQ(source.height(), 80);
  EXPECT_EQ(out, picture);

  // Unchanged, the window is not read again; a change in it is.
  EXPECT_EQ(source.grab(out, 33), Result<bool>(false));
  painter.create_window(0, 0, 40, 40, 0xFF0000);  // changes on screen outside it do not count
  EXPECT_EQ(source.grab(out, 33), Result<bool>(false));
  const Bytes patch = test_pattern(7, 5, 3);
  painter.put(window, 30, 20, 7, 5, patch);
  ASSERT_EQ(source.grab(out, 33), Result<bool>(true));
  Bytes expected = picture;
  for (int y = 0; y < 5; ++y) std::copy_n(patch.begin() + y * 7 * 4, 7 * 4, expected.begin() + ((20 + y) * 120 + 30) * 4);
  EXPECT_EQ(out, expected);
}

TEST(X11WindowSource, FollowsSizeChangesAndDeliversNothingWhileHidden) {
  Xvfb server("320x240x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const xcb_window_t window = painter.create_window(0, 0, 64, 48, 0x000000);
  auto opened = WindowSource::open(server.display(), window, true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  Bytes out;
  ASSERT_EQ(source.grab(out, 0), Result<bool>(true));

  painter.configure(window, 100, 30);
  const Bytes wide = test_pattern(100, 30, 1);
  painter.put(window, 0, 0, 100, 30, wide);
  ASSERT_EQ(source.grab(out, 0), Result<bool>(true));
  EXPECT_EQ(source.width(), 100);
  EXPECT_EQ(source.height(), 30);
  EXPECT_EQ(out, wide);

  painter.unmap(window);
  out.assign(4, 1);
  EXPECT_EQ(source.grab(out, 0), Result<bool>(false));
  EXPECT_EQ(out, Bytes(4, 1));
  EXPECT_TRUE(source.alive());

  painter.map(window);
  const Bytes again = test_pattern(100, 30, 2);
  painter.put(window, 0, 0, 100, 30, again);
  ASSERT_EQ(source.grab(out, 0), Result<bool>(true));
  EXPECT_EQ(out, again);
}

TEST(X11WindowSource, IsNoLongerAliveOnceTheWindowIsDestroyed) {
  Xvfb server("160x120x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const xcb_window_t window = painter.create_window(0, 0, 40, 30, 0x123456);
  for (bool composite : {true, false}) {
    auto opened = WindowSource::open(server.display(), window, composite);
    ASSERT_TRUE(opened) << opened.error();
    EXPECT_TRUE((*opened)->alive());
  }
  auto opened = WindowSource::open(server.display(), window, true);
  ASSERT_TRUE(opened);
  painter.destroy(window);
  EXPECT_FALSE((*opened)->alive());
  Bytes out;
  EXPECT_EQ((*opened)->grab(out, 0), Result<bool>(false));

  for (std::int64_t id : {std::int64_t{window}, std::int64_t{0}, std::int64_t{1} << 33}) {
    auto missing = WindowSource::open(server.display(), id, true);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "окно не существует");
  }
}

}  // namespace
}  // namespace nimbra
