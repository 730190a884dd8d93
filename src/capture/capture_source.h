#pragma once
// The one interface through which the capture loop reaches every backend.
// The loop never learns which mechanism stands behind a source: it asks what
// the source does (does its grab wait for a change? can it convert on the
// GPU?), never what it is.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

class GpuConversion;

// One captured image: rows top-down, 4 bytes per pixel in the order B, G, R,
// then a fourth byte with no meaning (X leaves its padding there), stride
// exactly 4 * width. The pixels belong to the source and stay valid until its
// next call: a source may hand out the very memory it captured into. The
// scaler never passes the fourth byte on: every image after it is opaque.
struct BgraFrame {
  ByteView pixels;  // exactly 4 * size.width * size.height bytes
  Size size;
  // The rows that may differ from the image of this source's previous grab,
  // for a source that knows (every row otherwise).
  RowSpan changed = RowSpan::all();
};

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  // False once the captured window is gone; screens are always alive.
  virtual bool alive() { return true; }

  // True when grab() itself waits, up to its wait_ms, for the image to change
  // (so a still screen costs one idle wait per frame). A source that delivers
  // whenever asked returns false, and the loop sleeps out each frame period.
  virtual bool waits_for_change() const = 0;

  // A new image, nothing new (nullopt), or the failed step's text.
  virtual Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) = 0;

  // The GPU conversion this source offers; null where there is none.
  virtual GpuConversion* gpu() { return nullptr; }
};

using SourceOpener = std::function<Result<std::unique_ptr<CaptureSource>>()>;

}  // namespace nimbra
