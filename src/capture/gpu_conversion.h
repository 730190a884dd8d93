#pragma once
// Scaling and NV12 conversion on the GPU, offered by a source whose images
// already live there (desktop duplication): the CPU never touches a BGRA
// pixel on this path. Outputs are NV12 pictures (a Y plane, then interleaved
// U, V pairs) of the sizes given to enable(): the main output and, when asked
// for, a second one for the low layer.
#include <cstdint>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

class GpuConversion {
 public:
  virtual ~GpuConversion() = default;

  // Builds the converter for these output sizes; on failure the path stays off.
  virtual Status enable(Size main, std::optional<Size> second) = 0;
  // Whether the converter is in place. A failed conversion takes it away for
  // good, and the loop goes on along the CPU path.
  virtual bool enabled() const = 0;
  // The size of the images the converter scales from.
  virtual Size source_size() const = 0;

  // Waits like CaptureSource::grab for a new image and converts it into
  // `main` (and `second`, when given): true when they hold a new picture.
  virtual Result<bool> convert(Bytes& main, Bytes* second, std::uint32_t wait_ms) = 0;
  // Converts the last image again, for a key frame on a still screen.
  virtual Status repeat(Bytes& main, Bytes* second) = 0;
  // The copy of the last image the converter worked from, back in CPU memory
  // (4 * width * height bytes of source_size()), for the conversion check.
  virtual Status read_back_bgra(Bytes& out) = 0;
};

}  // namespace nimbra
