// This platform's capture backends under Wine, whose GDI draws on the test's
// X server: what a window paints is what both GDI sources deliver. Wine has
// neither desktop duplication nor Windows Graphics Capture: those fail with their texts.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win/desktop_duplication.h"
#include "platform/win/gdi_screen.h"
#include "platform/win/gdi_window.h"
#include "platform/win/wgc_capture.h"

namespace nimbra {
namespace {

using platform::GdiScreen;
using platform::GdiWindow;

constexpr int kW = 64, kH = 40, kX = 50, kY = 60;

// B, G, R, 0 rows, different in every position.
const Bytes& pattern() {
  static const Bytes image = [] {
    Bytes p(kW * kH * 4);
    for (int i = 0; i < kW * kH; ++i) {
      p[i * 4] = static_cast<std::uint8_t>(i * 7);
      p[i * 4 + 1] = static_cast<std::uint8_t>(i / kW * 5 + 9);
      p[i * 4 + 2] = static_cast<std::uint8_t>(i % kW * 3);
    }
    return p;
  }();
  return image;
}

void paint(HDC dc) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kW, -kH, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  SetDIBitsToDevice(dc, 0, 0, kW, kH, 0, 0, 0, kH, pattern().data(), &info, DIB_RGB_COLORS);
}

LRESULT CALLBACK painter(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    paint(BeginPaint(window, &ps));
    EndPaint(window, &ps);
    return 0;
  }
  if (message == WM_PRINTCLIENT) {
    paint(reinterpret_cast<HDC>(wparam));
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void pump() {
  for (int i = 0; i < 10; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    GdiFlush();
    Sleep(30);
  }
}

HWND painted_window() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = painter;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"nimbra-test-pattern";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, kX, kY, kW, kH, nullptr,
                                nullptr, wc.hInstance, nullptr);
  UpdateWindow(window);
  pump();
  return window;
}

Bytes bgr_of(const BgraFrame& frame, int x, int y, int w, int h) {
  Bytes out;
  for (int row = y; row < y + h; ++row) {
    for (int col = x; col < x + w; ++col) {
      const std::uint8_t* p = &frame.pixels[(std::size_t(row) * frame.size.width + col) * 4];
      out.insert(out.end(), p, p + 3);
    }
  }
  return out;
}

TEST(GdiSources, DeliverWhatAWindowPaints) {
  HWND window = painted_window();
  ASSERT_NE(window, nullptr);
  const Bytes expected = bgr_of({pattern(), {kW, kH}}, 0, 0, kW, kH);

  auto screen = GdiScreen::open();
  ASSERT_TRUE(screen) << screen.error();
  EXPECT_FALSE((*screen)->waits_for_change());
  auto shot = (*screen)->grab(0);
  ASSERT_TRUE(shot && *shot);
  EXPECT_EQ((*shot)->size, (Size{static_cast<std::uint32_t>(GetSystemMetrics(SM_CXSCREEN)),
                                  static_cast<std::uint32_t>(GetSystemMetrics(SM_CYSCREEN))}));
  EXPECT_EQ(bgr_of(**shot, kX, kY, kW, kH), expected);

  auto opened = GdiWindow::open(reinterpret_cast<std::intptr_t>(window));
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  auto grabbed = source.grab(0);
  ASSERT_TRUE(grabbed && *grabbed);
  EXPECT_EQ((*grabbed)->size, (Size{kW, kH}));
  EXPECT_EQ(bgr_of(**grabbed, 0, 0, kW, kH), expected);

  ShowWindow(window, SW_MINIMIZE);
  pump();
  auto minimised = source.grab(0);
  EXPECT_TRUE(minimised && !*minimised);
  EXPECT_TRUE(source.alive());
  DestroyWindow(window);
  EXPECT_FALSE(source.alive());
  EXPECT_EQ(GdiWindow::open(reinterpret_cast<std::intptr_t>(window)).error(), "окно не существует");
}

// The screen through the program, scaled, is held to its pixels by the process test test_mf_encoder.
TEST(CaptureSources, WineHasNeitherDuplicationNorWgc) {
  auto duplication = platform::DesktopDuplication::open();
  auto wgc = platform::WgcCapture::start(0);
  if (duplication || wgc) GTEST_SKIP() << "a system with desktop duplication or WGC";
  EXPECT_TRUE(duplication.error().starts_with("DuplicateOutput: ")) << duplication.error();
  EXPECT_TRUE(wgc.error().starts_with("DispatcherQueue: ")) << wgc.error();
}

}  // namespace
}  // namespace nimbra
