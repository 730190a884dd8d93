#pragma once
// The capture loop's connection to the low layer's encoder thread. Pixel
// buffers circulate: each one handed over comes back on the return channel,
// so the loop allocates at most three and never waits for the thread.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "sys/bytes.h"
#include "sys/channel.h"
#include "sys/clock.h"

namespace nimbra {

struct LowFrame {
  Bytes pixels;  // NV12 or BGRA of the low size
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool key_request = false;
};

struct LowLink {
  Sender<LowFrame> frames;   // capacity 1
  Receiver<Bytes> returned;  // unbounded
  Size size;
};

// Hands the encoder thread a frame when the layer is due, or at once for a
// key frame. A frame is due 3 ms early, so a layer at the main stream's rate
// takes every frame even when frames come a little early.
class LowFeeder {
 public:
  static constexpr std::uint32_t kMaxBuffers = 3;
  static constexpr Duration kTolerance = 3ms;

  LowFeeder(LowLink link, std::uint32_t fps, Clock& clock);

  Size size() const { return link_.size; }
  // True when the frame was handed over; a frame that finds the thread busy,
  // or every buffer out, is skipped. `fill` writes the frame's `bytes`
  // straight into the buffer handed over, and is called only when it goes.
  template <class Fill>  // void(MutableBytes)
  bool offer(Size size, std::size_t bytes, bool key_request, Fill&& fill) {
    std::optional<Bytes> buffer = buffer_if_due(key_request);
    if (!buffer) return false;
    buffer->resize(bytes);
    fill(MutableBytes(*buffer));
    return hand_over(LowFrame{std::move(*buffer), size.width, size.height, key_request});
  }
  // A copy of `pixels`.
  bool offer(ByteView pixels, Size size, bool key_request) {
    return offer(size, pixels.size(), key_request, [&](MutableBytes out) { std::ranges::copy(pixels, out.begin()); });
  }

 private:
  std::optional<Bytes> buffer_if_due(bool key_request);
  bool hand_over(LowFrame frame);

  LowLink link_;
  Duration interval_;
  Clock& clock_;
  std::uint32_t outstanding_ = 0;
  std::optional<Instant> last_sent_;
};

}  // namespace nimbra
