// The GPU converter on a real Direct3D 11 device. Wine makes the device but
// its shader compiler has no compute shaders: creation must fail with the
// compiler's text, nothing worse. On Windows the converter must give the
// model's bytes, give or take a code where the GPU's division lands a tie
// the other way.
#include "platform/win/gpu_nv12_converter.h"

#include <d3d11.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdlib>
#include <random>

#include "pixels/nv12_shader_model.h"

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct Device {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  HRESULT created = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                      &device, nullptr, &context);
};

TEST(GpuNv12Converter, WineCannotCompileTheShaderAndCreationSaysSo) {
  if (!under_wine()) GTEST_SKIP() << "Windows compiles compute shaders";
  Device d3d;
  ASSERT_TRUE(SUCCEEDED(d3d.created)) << std::hex << d3d.created;
  auto converter = GpuNv12Converter::create(d3d.device.Get(), {1280, 720}, Size{640, 360});
  ASSERT_FALSE(converter);
  EXPECT_TRUE(converter.error().starts_with("D3DCompile: ")) << converter.error();
}

// Bytes apart from the model: how many, and by how much at most.
std::pair<std::size_t, int> distance(const Bytes& gpu, const Bytes& model) {
  std::size_t count = 0;
  int largest = 0;
  for (std::size_t i = 0; i < gpu.size() && i < model.size(); ++i) {
    const int d = std::abs(gpu[i] - model[i]);
    count += d != 0;
    largest = std::max(largest, d);
  }
  return {count, largest};
}

TEST(GpuNv12Converter, ConvertsLikeTheModelOnWindows) {
  if (under_wine()) GTEST_SKIP() << "Wine's shader compiler has no compute shaders";
  Device d3d;
  ASSERT_TRUE(SUCCEEDED(d3d.created)) << std::hex << d3d.created;
  ID3D11DeviceContext* context = d3d.context.Get();
  auto odd = GpuNv12Converter::create(d3d.device.Get(), {1281, 720}, std::nullopt);
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error(), "размер 1281×720 не чётный");
  auto made = GpuNv12Converter::create(d3d.device.Get(), {1280, 720}, Size{640, 360});
  ASSERT_TRUE(made) << made.error();
  GpuNv12Converter& converter = **made;
  Bytes main, second;
  Status early = converter.run(context, main, &second);
  ASSERT_FALSE(early);
  EXPECT_EQ(early.error(), "кадра ещё нет");
  EXPECT_EQ(converter.source_copy(), nullptr);

  const Size source{1920, 1080};
  Bytes image(std::size_t{source.width} * source.height * 4);
  std::mt19937 rng(9);
  for (std::uint8_t& byte : image) byte = static_cast<std::uint8_t>(rng());
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = source.width;
  desc.Height = source.height;
  desc.MipLevels = desc.ArraySize = desc.SampleDesc.Count = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.Usage = D3D11_USAGE_DEFAULT;
  const D3D11_SUBRESOURCE_DATA data{image.data(), source.width * 4, 0};
  ComPtr<ID3D11Texture2D> texture;
  ASSERT_TRUE(SUCCEEDED(d3d.device->CreateTexture2D(&desc, &data, &texture)));

  ASSERT_TRUE(converter.convert(context, texture.Get(), main, &second));
  EXPECT_NE(converter.source_copy(), nullptr);
  EXPECT_EQ(converter.source_size(), source);
  for (const auto& [size, gpu] : {std::pair<Size, const Bytes&>{{1280, 720}, main}, {{640, 360}, second}}) {
    Bytes model(std::size_t{size.width} * size.height * 3 / 2);
    nv12_shader_model(image, nv12_shader_constants(source, size), model);
    ASSERT_EQ(gpu.size(), model.size());
    const auto [count, largest] = distance(gpu, model);
    EXPECT_LE(largest, 1) << size.width;
    EXPECT_LT(count, model.size() / 1000) << size.width;
  }

  // A repeat converts the same copy again, here without the second size.
  Bytes again;
  ASSERT_TRUE(converter.run(context, again, nullptr));
  EXPECT_EQ(again, main);
}

}  // namespace
}  // namespace nimbra::platform
