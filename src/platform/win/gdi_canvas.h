#pragma once
// A memory device context compatible with the screen, with a bitmap of a
// fixed size selected into it, and the read-out of that bitmap as BGRA rows.
// Both GDI sources draw into one and hand out what it holds.
#include <windows.h>

#include <optional>

#include "capture/capture_source.h"

namespace nimbra::platform {

class GdiCanvas {
 public:
  // Width and height of at least 1; the screen context is only borrowed.
  GdiCanvas(HDC screen, int width, int height);
  ~GdiCanvas();
  GdiCanvas(const GdiCanvas&) = delete;
  GdiCanvas& operator=(const GdiCanvas&) = delete;

  HDC dc() const { return dc_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // The bitmap's pixels (32-bit, top-down, B G R X), or nullopt when
  // GetDIBits fails; the last image read stays valid until the next read.
  std::optional<BgraFrame> read();

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ replaced_;
  int width_;
  int height_;
  Bytes image_;
  Bytes spare_;  // the next read lands here, so a failed one leaves image_ alone
};

// The screen's device context, released with the owner.
class ScreenDc {
 public:
  ScreenDc() : dc_(GetDC(nullptr)) {}
  ~ScreenDc() {
    if (valid()) ReleaseDC(nullptr, dc_);
  }
  ScreenDc(const ScreenDc&) = delete;
  ScreenDc& operator=(const ScreenDc&) = delete;
  bool valid() const { return dc_ != nullptr && dc_ != reinterpret_cast<HDC>(~std::uintptr_t{0}); }
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

}  // namespace nimbra::platform
