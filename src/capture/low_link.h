#pragma once
// The capture loop's connection to the low layer's encoder thread. Pixel
// buffers circulate: each one handed over comes back on the return channel,
// so the loop allocates at most three and never waits for the thread.
#include <cstdint>
#include <optional>

#include "sys/bytes.h"
#include "sys/channel.h"
#include "sys/clock.h"

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

// Hands the encoder thread a copy of a frame when the layer is due, or at
// once for a key frame. A frame is due 3 ms early, so a layer at the main
// stream's rate takes every frame even when frames come a little early.
class LowFeeder {
 public:
  static constexpr std::uint32_t kMaxBuffers = 3;
  static constexpr Duration kTolerance = 3ms;

  LowFeeder(LowLink link, std::uint32_t fps, Clock& clock);

  Size size() const { return link_.size; }
  // True when the frame was handed over; a frame that finds the thread busy,
  // or every buffer out, is skipped.
  bool offer(ByteView pixels, Size size, bool key_request);

 private:
  LowLink link_;
  Duration interval_;
  Clock& clock_;
  std::uint32_t outstanding_ = 0;
  std::optional<Instant> last_sent_;
};

}  // namespace nimbra
