// The GDI sources under Wine, whose GDI draws on the test's X server: what a window paints is what the window source
// delivers. Wine's PrintWindow draws nothing of another process's window, so the window is this process's own. The
// screen's pixels and the missing desktop duplication's text are the encoder process test's.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win/gdi_screen.h"
#include "platform/win/gdi_window.h"

namespace nimbra {
namespace {

using platform::GdiWindow;

constexpr int kW = 64, kH = 40;

// B, G, R, 0 rows, different in every position.
Bytes pattern() {
  Bytes p(kW * kH * 4);
  for (int i = 0; i < kW * kH; ++i) p[i * 4] = i * 7, p[i * 4 + 1] = i / kW * 5 + 9, p[i * 4 + 2] = i % kW * 3;
  return p;
}

LRESULT CALLBACK painter(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_PAINT && message != WM_PRINTCLIENT) return DefWindowProcW(window, message, wparam, lparam);
  PAINTSTRUCT ps;
  HDC dc = message == WM_PAINT ? BeginPaint(window, &ps) : reinterpret_cast<HDC>(wparam);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), kW, -kH, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  SetDIBitsToDevice(dc, 0, 0, kW, kH, 0, 0, 0, kH, pattern().data(), &info, DIB_RGB_COLORS);
  if (message == WM_PAINT) EndPaint(window, &ps);
  return 0;
}

void pump() {
  for (int i = 0; i < 10; ++i) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    GdiFlush();
    Sleep(30);
  }
}

TEST(GdiWindow, DeliversWhatTheWindowPaintsWhileItIsShown) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = painter;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"nimbra-test-pattern";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 50, 60, kW, kH, nullptr,
                                nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  UpdateWindow(window);
  pump();

  auto opened = GdiWindow::open(reinterpret_cast<std::intptr_t>(window));
  ASSERT_TRUE(opened) << opened.error();
  CaptureSource& source = **opened;
  auto grabbed = source.grab(0);
  ASSERT_TRUE(grabbed && *grabbed);
  EXPECT_EQ((*grabbed)->size, (Size{kW, kH}));
  Bytes pixels((*grabbed)->pixels.begin(), (*grabbed)->pixels.end());
  for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;  // the fourth byte is not the window's
  EXPECT_TRUE(pixels == pattern()) << "the window's pixels differ";

  ShowWindow(window, SW_MINIMIZE);
  pump();
  auto minimised = source.grab(0);
  EXPECT_TRUE(minimised && !*minimised);
  EXPECT_TRUE(source.alive());
  DestroyWindow(window);
  EXPECT_FALSE(source.alive());
  EXPECT_EQ(GdiWindow::open(reinterpret_cast<std::intptr_t>(window)).error(), "окно не существует");
}

// A GDI grab returns at once: the session paces it by the clock.
TEST(GdiScreen, NeverWaitsForAChange) {
  auto screen = platform::GdiScreen::open();
  ASSERT_TRUE(screen) << screen.error();
  EXPECT_FALSE((*screen)->waits_for_change());
}

}  // namespace
}  // namespace nimbra
