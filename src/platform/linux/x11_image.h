#pragma once
// Reading a rectangle of a drawable for a BgraFrame, through a shared memory
// segment when the server offers MIT-SHM, with a plain request otherwise.
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/linux/x11_connection.h"
#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform::x11 {

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
// until its next read; without it they are copied into `plain`.
Result<ByteView> read_image(Connection& connection, xcb_drawable_t drawable, std::int16_t x, std::int16_t y,
                            std::uint16_t width, std::uint16_t height, std::unique_ptr<ShmSegment>* shm,
                            Bytes& plain);

}  // namespace nimbra::platform::x11
