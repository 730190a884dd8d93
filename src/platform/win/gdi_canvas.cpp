#include "platform/win/gdi_canvas.h"

#include <algorithm>

namespace nimbra::platform {

GdiCanvas::GdiCanvas(HDC screen, int width, int height)
    : dc_(CreateCompatibleDC(screen)),
      bitmap_(CreateCompatibleBitmap(screen, width, height)),
      replaced_(SelectObject(dc_, bitmap_)),
      width_(width),
      height_(height) {}

GdiCanvas::~GdiCanvas() {
  if (replaced_ != nullptr) SelectObject(dc_, replaced_);
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  if (dc_ != nullptr) DeleteDC(dc_);
}

std::optional<BgraFrame> GdiCanvas::read() {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width_;
  info.bmiHeader.biHeight = -height_;  // rows top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  spare_.resize(std::size_t(width_) * std::size_t(height_) * 4);
  if (GetDIBits(dc_, bitmap_, 0, static_cast<UINT>(height_), spare_.data(), &info, DIB_RGB_COLORS) == 0) {
    return std::nullopt;
  }
  std::swap(image_, spare_);
  return BgraFrame{image_, {static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_)}};
}

}  // namespace nimbra::platform
