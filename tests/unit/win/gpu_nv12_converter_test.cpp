// The GPU converter on Wine's Direct3D 11 device, whose shader compiler has no
// compute shaders: creation must fail with the compiler's text, nothing worse.
// The shader's bytes are held to the model by the Vulkan test of the Linux build.
#include "platform/win/gpu_nv12_converter.h"

#include <d3d11.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

namespace nimbra::platform {
namespace {

TEST(GpuNv12Converter, WineCannotCompileTheShaderAndCreationSaysSo) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr) GTEST_SKIP() << "not Wine";
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  const HRESULT created = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                                            D3D11_SDK_VERSION, &device, nullptr, nullptr);
  ASSERT_TRUE(SUCCEEDED(created)) << std::hex << created;
  auto converter = GpuNv12Converter::create(device.Get(), {1280, 720}, Size{640, 360});
  ASSERT_FALSE(converter);
  EXPECT_TRUE(converter.error().starts_with("D3DCompile: ")) << converter.error();
}

}  // namespace
}  // namespace nimbra::platform
