#include "platform/win/d3d11_device.h"

#include <cstring>

#include "platform/win/hresult.h"

namespace nimbra::platform {

Result<D3d11Device> create_d3d11_device(UINT flags) {
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
  D3d11Device made;
  const HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, flags, levels, 3, D3D11_SDK_VERSION,
                                       &made.device, nullptr, &made.context);
  if (FAILED(hr)) return fail(step_error("D3D11CreateDevice", hr));
  if (!made.device) return fail("D3D11: устройство не создано");
  if (!made.context) return fail("D3D11: контекст не создан");
  return made;
}

D3D11_TEXTURE2D_DESC texture_desc(Size size, DXGI_FORMAT format, D3D11_USAGE usage, UINT bind, UINT cpu_access) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = size.width;
  desc.Height = size.height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = usage;
  desc.BindFlags = bind;
  desc.CPUAccessFlags = cpu_access;
  return desc;
}

Result<ComPtr<ID3D11Texture2D>> create_bgra_staging(ID3D11Device* device, UINT width, UINT height) {
  const D3D11_TEXTURE2D_DESC desc =
      texture_desc({width, height}, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
  ComPtr<ID3D11Texture2D> staging;
  if (HRESULT hr = device->CreateTexture2D(&desc, nullptr, &staging); FAILED(hr)) {
    return fail(step_error("CreateTexture2D(staging)", hr));
  }
  if (!staging) return fail("staging-текстура не создана");
  return staging;
}

Status copy_staging_rows(ID3D11DeviceContext* context, ID3D11Texture2D* staging, std::size_t row_bytes, UINT rows,
                         std::uint8_t* out, const char* map_step) {
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (HRESULT hr = context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped); FAILED(hr)) {
    return fail(step_error(map_step, hr));
  }
  const auto* from = static_cast<const std::uint8_t*>(mapped.pData);
  for (UINT y = 0; y < rows; ++y) std::memcpy(out + y * row_bytes, from + std::size_t{y} * mapped.RowPitch, row_bytes);
  context->Unmap(staging, 0);
  return {};
}

}  // namespace nimbra::platform
