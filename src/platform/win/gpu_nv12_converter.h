#pragma once
// Until the compute-shader converter lands, the duplication has no GPU path
// and every session takes the CPU path.
#include <d3d11.h>

#include <memory>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform {

class GpuNv12Converter {
 public:
  static Result<std::unique_ptr<GpuNv12Converter>> create(ID3D11Device*, Size, std::optional<Size>) {
    return fail("GPU-конвертера в этой сборке нет");
  }
  Status convert(ID3D11DeviceContext*, ID3D11Texture2D*, Bytes&, Bytes*) { return fail("GPU-конвертера нет"); }
  Status run(ID3D11DeviceContext*, Bytes&, Bytes*) { return fail("GPU-конвертера нет"); }
  ID3D11Texture2D* source_copy() const { return nullptr; }
};

}  // namespace nimbra::platform
