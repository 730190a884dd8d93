#pragma once
// One H.264 decoder for a watch session: Annex-B access units in, RGBA
// pictures of the current display size out.
#include <functional>
#include <memory>
#include <vector>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

class H264Decoder {
 public:
  virtual ~H264Decoder() = default;
  // Pictures in output order, each display width * height * 4 bytes of RGBA.
  virtual Result<std::vector<Bytes>> decode(ByteView access_unit) = 0;
  // The display size after the last decode call.
  virtual Size display_size() const = 0;
};

// Opens a decoder for the requested display sizes, the first one first.
using DecoderFactory = std::function<Result<std::unique_ptr<H264Decoder>>(const std::vector<Size>&)>;

}  // namespace nimbra
