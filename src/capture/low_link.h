#pragma once
// The capture loop's connection to the low layer's encoder thread. Pixel
// buffers circulate: each one handed over comes back on the return channel,
// so the loop never allocates per frame and never waits for the thread.
#include <cstdint>

#include "sys/bytes.h"
#include "sys/channel.h"

namespace nimbra {

struct LowFrame {
  Bytes pixels;  // NV12 of the low size, or BGRA of the main output size
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool key_request = false;
};

struct LowLink {
  Sender<LowFrame> frames;   // capacity 1
  Receiver<Bytes> returned;  // unbounded
  Size size;
};

}  // namespace nimbra
