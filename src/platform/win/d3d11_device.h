#pragma once
// What the Direct3D 11 backends share: the hardware device, BGRA staging
// textures, reading a mapped staging texture row by row, and interface
// queries that treat "success without an interface" as E_POINTER.
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform {

using Microsoft::WRL::ComPtr;

struct D3d11Device {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
};

// A hardware device at feature level 11_1, 11_0 or 10_1.
Result<D3d11Device> create_d3d11_device(UINT flags);

// A single-level, single-sample 2D texture description.
D3D11_TEXTURE2D_DESC texture_desc(Size size, DXGI_FORMAT format, D3D11_USAGE usage, UINT bind, UINT cpu_access);

// A CPU-readable B8G8R8A8 texture of this size.
Result<ComPtr<ID3D11Texture2D>> create_bgra_staging(ID3D11Device* device, UINT width, UINT height);

// Maps a staging texture and copies `rows` rows of `row_bytes` each into
// `out`, tightly packed; `map_step` names the step in the error text.
Status copy_staging_rows(ID3D11DeviceContext* context, ID3D11Texture2D* staging, std::size_t row_bytes, UINT rows,
                         std::uint8_t* out, const char* map_step);

// QueryInterface; a success that returns nothing counts as E_POINTER.
template <class T>
HRESULT query(IUnknown* object, ComPtr<T>& out) {
  const HRESULT hr = object->QueryInterface(__uuidof(T), reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
  return SUCCEEDED(hr) && !out ? E_POINTER : hr;
}

}  // namespace nimbra::platform
