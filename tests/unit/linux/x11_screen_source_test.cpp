// The screen source against a private Xvfb with a known image on its root.
#include "platform/linux/x11_screen_source.h"

#include <gtest/gtest.h>

#include <chrono>

#include "xvfb.h"

namespace nimbra {
namespace {

using platform::x11::ScreenSource;
using testing::Painter;
using testing::test_pattern;
using testing::Xvfb;

TEST(X11ScreenSource, SharedMemoryGrabsTheScreenExactlyAndWaitsOnAStillOne) {
  Xvfb server("320x200x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const Bytes picture = test_pattern(320, 200);
  painter.put(painter.root(), 0, 0, 320, 200, picture);

  auto opened = ScreenSource::open(server.display(), true);
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  EXPECT_EQ(source.kind(), SourceKind::DesktopDuplication);
  EXPECT_EQ(source.width(), 320);
  EXPECT_EQ(source.height(), 200);

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
  Bytes expected = picture;
  for (int y = 0; y < 9; ++y) {
    std::copy_n(patch.begin() + y * 5 * 4, 5 * 4, expected.begin() + ((33 + y) * 320 + 101) * 4);
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(source.grab(out, 20), Result<bool>(false));
}

TEST(X11ScreenSource, PlainRequestsDeliverEveryTime) {
  Xvfb server("160x120x24");
  ASSERT_TRUE(server.ok());
  Painter painter(server.display());
  const Bytes picture = test_pattern(160, 120, 5);
  painter.put(painter.root(), 0, 0, 160, 120, picture);
  auto opened = ScreenSource::open(server.display(), false);
  ASSERT_TRUE(opened) << opened.error();
  EXPECT_EQ((*opened)->kind(), SourceKind::GdiScreen);
  for (int i = 0; i < 2; ++i) {
    Bytes out;
    ASSERT_EQ((*opened)->grab(out, 0), Result<bool>(true));
    EXPECT_EQ(out, picture);
  }
}

TEST(X11ScreenSource, OpeningFailsWithReasons) {
  {
    Xvfb server("160x120x24", {"-extension", "MIT-SHM"});
    ASSERT_TRUE(server.ok());
    auto opened = ScreenSource::open(server.display(), true);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), "MIT-SHM нет на сервере");
    EXPECT_TRUE(ScreenSource::open(server.display(), false));  // what the fallback is for
  }
  {
    Xvfb server("160x120x16");
    ASSERT_TRUE(server.ok());
    auto opened = ScreenSource::open(server.display(), false);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), "X11: глубина экрана 16 не поддерживается");
  }
  auto nowhere = ScreenSource::open(":999", true);
  ASSERT_FALSE(nowhere);
  EXPECT_TRUE(nowhere.error().starts_with("X11: нет соединения с дисплеем \":999\"")) << nowhere.error();
}

TEST(X11ScreenSource, ALostServerIsAGrabError) {
  auto server = std::make_unique<Xvfb>("160x120x24");
  ASSERT_TRUE(server->ok());
  auto opened = ScreenSource::open(server->display(), true);
  ASSERT_TRUE(opened) << opened.error();
  Bytes out;
  ASSERT_EQ((*opened)->grab(out, 10), Result<bool>(true));
  server.reset();
  Result<bool> r = (*opened)->grab(out, 10);
  if (r && !*r) r = (*opened)->grab(out, 10);  // the loss may show one wait late
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "X11: соединение с дисплеем потеряно");
}

}  // namespace
}  // namespace nimbra
