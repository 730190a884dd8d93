// Shows a file of raw BGRA pixels in a topmost borderless window, for process tests that capture the screen or a
// window under Wine: Wine's screen is what its own windows paint, not what other X clients draw.
//   pattern_window X Y WIDTH HEIGHT FILE
// Prints the window's handle in decimal and lives until it is killed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<char> g_pixels;
int g_width = 0, g_height = 0;

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_PAINT) return DefWindowProcW(window, message, wparam, lparam);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), g_width, -g_height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  SetDIBitsToDevice(dc, 0, 0, g_width, g_height, 0, 0, 0, g_height, g_pixels.data(), &info, DIB_RGB_COLORS);
  EndPaint(window, &ps);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 64;
  g_width = std::atoi(argv[3]), g_height = std::atoi(argv[4]);
  std::ifstream file(argv[5], std::ios::binary);
  g_pixels.assign(std::istreambuf_iterator<char>(file), {});
  if (g_pixels.size() != std::size_t(g_width) * g_height * 4) return 65;

  WNDCLASSW wc{};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"nimbra-test-pattern-window";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, std::atoi(argv[1]),
                                std::atoi(argv[2]), g_width, g_height, nullptr, nullptr, wc.hInstance, nullptr);
  if (!window) return 1;
  UpdateWindow(window);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  GdiFlush();
  std::printf("%lld\n", static_cast<long long>(reinterpret_cast<std::intptr_t>(window)));
  std::fflush(stdout);
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
