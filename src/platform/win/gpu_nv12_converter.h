#pragma once
// Scaling and BGRA-to-NV12 conversion of a desktop image that is already on
// the GPU, for one output size and optionally a second one (the low layer):
// one compute dispatch per size (nv12_convert.hlsl), read back through
// staging textures. The CPU never touches a BGRA pixel on this path. Used
// only on the thread that owns the device's immediate context.
#include <d3d11.h>
#include <wrl/client.h>

#include <memory>
#include <optional>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform {

class GpuNv12Converter {
 public:
  // Fails with the failed step's text: a device below feature level 11_0, a
  // shader compiler that is missing or refuses the shader, an odd or sub-2
  // size, a resource that cannot be made.
  static Result<std::unique_ptr<GpuNv12Converter>> create(ID3D11Device* device, Size main, std::optional<Size> second);

  // Copies `source` (the acquired desktop texture) and converts the copy
  // into `main` and, when the converter has a second size and `second` is
  // given, into `second`. Each buffer gets width * height * 3 / 2 bytes.
  Status convert(ID3D11DeviceContext* context, ID3D11Texture2D* source, Bytes& main, Bytes* second);
  // Converts the last copy again (a key frame on a still screen).
  Status run(ID3D11DeviceContext* context, Bytes& main, Bytes* second);

  // The copy the last conversion worked from, for reading it back; null
  // before the first convert. Its size is source_size().
  ID3D11Texture2D* source_copy() const { return source_.texture.Get(); }
  Size source_size() const { return source_.size; }

 private:
  // One output size: the planes the shader writes, their staging copies and
  // the shader constants.
  struct Target {
    Microsoft::WRL::ComPtr<ID3D11Texture2D> y_texture, uv_texture;
    Microsoft::WRL::ComPtr<ID3D11UnorderedAccessView> y_uav, uv_uav;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> y_staging, uv_staging;
    Microsoft::WRL::ComPtr<ID3D11Buffer> constants;
    Size size;
  };
  struct SourceCopy {
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
    Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> view;
    Size size;
    DXGI_FORMAT format = DXGI_FORMAT_UNKNOWN;
  };

  GpuNv12Converter(ID3D11Device* device, Microsoft::WRL::ComPtr<ID3D11ComputeShader> shader, Target main,
                   std::optional<Target> second);
  static Result<Target> create_target(ID3D11Device* device, Size size);
  Status copy_source(ID3D11DeviceContext* context, ID3D11Texture2D* source);
  void dispatch(ID3D11DeviceContext* context, const Target& target);
  static Status read_back(ID3D11DeviceContext* context, const Target& target, Bytes& out);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11ComputeShader> shader_;
  Target main_;
  SourceCopy source_;
  std::optional<Target> second_;
};

}  // namespace nimbra::platform
