#pragma once
// Reading a rectangle of a drawable for a BgraFrame, through a shared memory
// segment when the server offers MIT-SHM, with a plain request otherwise.
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture/capture_source.h"
#include "platform/linux/x11_connection.h"
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform::x11 {

struct Rect {
  std::int16_t x = 0;
  std::int16_t y = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// A SysV segment that both this process and the X server have attached.
class ShmSegment {
 public:
  static Result<std::unique_ptr<ShmSegment>> create(xcb_connection_t* connection, std::size_t bytes);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return data_; }
  xcb_shm_seg_t id() const { return segment_; }

 private:
  ShmSegment(xcb_connection_t* connection, xcb_shm_seg_t segment, std::uint8_t* data, std::size_t size)
      : connection_(connection), segment_(segment), data_(data), size_(size) {}
  xcb_connection_t* connection_;
  xcb_shm_seg_t segment_;
  std::uint8_t* data_;
  std::size_t size_;
};

// Whether the server offers MIT-SHM; the text says why not.
Status shm_usable(const Connection& connection);

// Exactly width * height * 4 bytes of the rectangle, B, G, R and X's padding
// byte, or the failed request's text. With `shm` (grown here when it cannot
// hold the rectangle) they are read in place, in the segment, and stay valid
// until its next read; without it they are copied into `plain`. In the
// segment, only the rows `rows` are read: the others keep what the last read
// of the same rectangle left there (all rows are read into a new segment).
Result<ByteView> read_image(Connection& connection, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                            std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>* shm,
                            Bytes& plain, RowSpan rows = RowSpan::all());

// A rectangle of a window kept in a pixmap over a shared segment. The server
// copies only the region asked for, so after a first whole copy a small
// change costs it a small copy, not the whole rectangle.
class ShmMirror {
 public:
  // An error when the server cannot keep pixmaps in shared memory.
  static Result<std::unique_ptr<ShmMirror>> create(Connection& connection, xcb_window_t window, Rect rect);
  ~ShmMirror();
  ShmMirror(const ShmMirror&) = delete;
  ShmMirror& operator=(const ShmMirror&) = delete;

  // Copies `region` of the window (its coordinates; XCB_NONE: the whole
  // rectangle) and returns the rectangle as read_image does, in the segment,
  // with the rows the region reached as its changed rows. An error also when
  // the rectangle no longer lies within the window.
  Result<BgraFrame> update(xcb_xfixes_region_t region);

 private:
  ShmMirror(Connection& connection, xcb_window_t window, Rect rect, std::unique_ptr<ShmSegment> shm)
      : connection_(connection), window_(window), rect_(rect), shm_(std::move(shm)) {}
  Connection& connection_;
  xcb_window_t window_;
  Rect rect_;
  std::unique_ptr<ShmSegment> shm_;
  xcb_pixmap_t pixmap_ = XCB_NONE;
  xcb_gcontext_t gc_ = XCB_NONE;
};

}  // namespace nimbra::platform::x11
