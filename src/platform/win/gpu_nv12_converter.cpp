#include "platform/win/gpu_nv12_converter.h"

#include <d3dcompiler.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nv12_convert_hlsl.h"
#include "pixels/nv12_shader_model.h"
#include "platform/win/d3d11_device.h"
#include "platform/win/hresult.h"

namespace nimbra::platform {
namespace {

using Microsoft::WRL::ComPtr;

std::string size_text(std::uint32_t width, std::uint32_t height) {
  return std::to_string(width) + "×" + std::to_string(height);
}

// The compiler's first message names the line it stumbled on.
std::string compiler_message(ID3DBlob* messages) {
  if (messages == nullptr || messages->GetBufferSize() == 0) return "";
  const char* text = static_cast<const char*>(messages->GetBufferPointer());
  const std::string all(text, strnlen(text, messages->GetBufferSize()));
  const std::string line = all.substr(0, all.find_first_of("\r\n"));
  return line.empty() ? "" : ": " + line;
}

// The compiler DLL is looked for at run time, so that a system without it
// still captures on the CPU path, and only in the system folder, so that no
// file planted beside the program is loaded in its place. It stays loaded:
// the answer does not change while the process runs.
Result<std::vector<std::uint8_t>> compile_shader() {
  HMODULE compiler = LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (compiler == nullptr) {
    return fail(step_error("LoadLibrary d3dcompiler_47.dll", HRESULT_FROM_WIN32(GetLastError())));
  }
  const auto compile = reinterpret_cast<pD3DCompile>(reinterpret_cast<void*>(GetProcAddress(compiler, "D3DCompile")));
  if (compile == nullptr) return fail(step_error("GetProcAddress D3DCompile", HRESULT_FROM_WIN32(GetLastError())));
  ComPtr<ID3DBlob> code, messages;
  const HRESULT hr = compile(kNv12ConvertHlsl, sizeof kNv12ConvertHlsl, "nv12_convert.hlsl", nullptr, nullptr, "main",
                             "cs_5_0", D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &messages);
  if (FAILED(hr)) return fail(step_error("D3DCompile", hr) + compiler_message(messages.Get()));
  if (!code) return fail(step_error("D3DCompile", E_POINTER));
  const auto* bytes = static_cast<const std::uint8_t*>(code->GetBufferPointer());
  return std::vector<std::uint8_t>(bytes, bytes + code->GetBufferSize());
}

// Compiled once per process; converters are rebuilt after every access loss.
const Result<std::vector<std::uint8_t>>& shader_bytecode() {
  static const Result<std::vector<std::uint8_t>> bytecode = compile_shader();
  return bytecode;
}

D3D11_TEXTURE2D_DESC plane_desc(Size size, DXGI_FORMAT format) {
  return texture_desc(size, format, D3D11_USAGE_DEFAULT, D3D11_BIND_UNORDERED_ACCESS, 0);
}

D3D11_TEXTURE2D_DESC staging_desc(Size size, DXGI_FORMAT format) {
  return texture_desc(size, format, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
}

Result<ComPtr<ID3D11Texture2D>> create_texture(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc) {
  ComPtr<ID3D11Texture2D> texture;
  const HRESULT hr = device->CreateTexture2D(&desc, nullptr, &texture);
  if (FAILED(hr)) return fail("CreateTexture2D " + size_text(desc.Width, desc.Height) + ": " + hresult_text(hr));
  if (!texture) return fail("текстура не создана");
  return texture;
}

Result<ComPtr<ID3D11UnorderedAccessView>> create_uav(ID3D11Device* device, ID3D11Texture2D* texture) {
  ComPtr<ID3D11UnorderedAccessView> view;
  const HRESULT hr = device->CreateUnorderedAccessView(texture, nullptr, &view);
  if (FAILED(hr)) return fail(step_error("CreateUnorderedAccessView", hr));
  if (!view) return fail("UAV не создан");
  return view;
}

Result<ComPtr<ID3D11Buffer>> create_constants(ID3D11Device* device) {
  D3D11_BUFFER_DESC desc{};
  desc.ByteWidth = sizeof(Nv12ShaderConstants);
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  ComPtr<ID3D11Buffer> buffer;
  const HRESULT hr = device->CreateBuffer(&desc, nullptr, &buffer);
  if (FAILED(hr)) return fail(step_error("CreateBuffer", hr));
  if (!buffer) return fail("cbuffer не создан");
  return buffer;
}

template <class T>
Status keep(Result<T> made, T& into) {
  if (!made) return fail(std::move(made.error()));
  into = std::move(*made);
  return {};
}

Status copy_plane(ID3D11DeviceContext* context, ID3D11Texture2D* staging, std::size_t rows, std::size_t row_bytes,
                  std::uint8_t* out) {
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT hr = context->Map(staging, 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr)) return fail(step_error("Map", hr));
  const auto* data = static_cast<const std::uint8_t*>(mapped.pData);
  for (std::size_t y = 0; y < rows; ++y) std::memcpy(out + y * row_bytes, data + y * mapped.RowPitch, row_bytes);
  context->Unmap(staging, 0);
  return {};
}

}  // namespace

GpuNv12Converter::GpuNv12Converter(ID3D11Device* device, ComPtr<ID3D11ComputeShader> shader, Target main,
                                   std::optional<Target> second)
    : device_(device), shader_(std::move(shader)), main_(std::move(main)), second_(std::move(second)) {}

Result<std::unique_ptr<GpuNv12Converter>> GpuNv12Converter::create(ID3D11Device* device, Size main,
                                                                   std::optional<Size> second) {
  if (device->GetFeatureLevel() < D3D_FEATURE_LEVEL_11_0) return fail("нужен Direct3D 11.0 (compute shader)");
  const Result<std::vector<std::uint8_t>>& bytecode = shader_bytecode();
  if (!bytecode) return fail(bytecode.error());
  ComPtr<ID3D11ComputeShader> shader;
  const HRESULT hr = device->CreateComputeShader(bytecode->data(), bytecode->size(), nullptr, &shader);
  if (FAILED(hr)) return fail(step_error("CreateComputeShader", hr));
  if (!shader) return fail("шейдер не создан");

  Result<Target> main_target = create_target(device, main);
  if (!main_target) return fail(main_target.error());
  std::optional<Target> second_target;
  if (second) {
    Result<Target> made = create_target(device, *second);
    if (!made) return fail(made.error());
    second_target = std::move(*made);
  }
  return std::unique_ptr<GpuNv12Converter>(
      new GpuNv12Converter(device, std::move(shader), std::move(*main_target), std::move(second_target)));
}

Result<GpuNv12Converter::Target> GpuNv12Converter::create_target(ID3D11Device* device, Size size) {
  if (size.width < 2 || size.height < 2 || size.width % 2 != 0 || size.height % 2 != 0) {
    return fail("размер " + size_text(size.width, size.height) + " не чётный");
  }
  const Size half{size.width / 2, size.height / 2};
  Target target;
  target.size = size;
  // In this order; a failure releases what was already made.
  const std::function<Status()> steps[] = {
      [&] { return keep(create_texture(device, plane_desc(size, DXGI_FORMAT_R8_UNORM)), target.y_texture); },
      [&] { return keep(create_texture(device, plane_desc(half, DXGI_FORMAT_R8G8_UNORM)), target.uv_texture); },
      [&] { return keep(create_uav(device, target.y_texture.Get()), target.y_uav); },
      [&] { return keep(create_uav(device, target.uv_texture.Get()), target.uv_uav); },
      [&] { return keep(create_texture(device, staging_desc(size, DXGI_FORMAT_R8_UNORM)), target.y_staging); },
      [&] { return keep(create_texture(device, staging_desc(half, DXGI_FORMAT_R8G8_UNORM)), target.uv_staging); },
      [&] { return keep(create_constants(device), target.constants); },
  };
  for (const std::function<Status()>& step : steps) {
    if (Status made = step(); !made) return fail(made.error());
  }
  return target;
}

Status GpuNv12Converter::convert(ID3D11DeviceContext* context, ID3D11Texture2D* source, Bytes& main, Bytes* second) {
  if (Status copied = copy_source(context, source); !copied) return copied;
  return run(context, main, second);
}

Status GpuNv12Converter::copy_source(ID3D11DeviceContext* context, ID3D11Texture2D* source) {
  D3D11_TEXTURE2D_DESC desc{};
  source->GetDesc(&desc);
  const Size size{desc.Width, desc.Height};
  // CopyResource between textures of different formats does nothing and
  // reports nothing, so a format change also gets a new copy.
  if (!source_.texture || source_.size != size || source_.format != desc.Format) {
    source_ = {};
    SourceCopy copy{{}, {}, size, desc.Format};
    if (Status made = keep(create_texture(device_.Get(), texture_desc(size, desc.Format, D3D11_USAGE_DEFAULT,
                                                                      D3D11_BIND_SHADER_RESOURCE, 0)),
                           copy.texture);
        !made) {
      return made;
    }
    const HRESULT hr = device_->CreateShaderResourceView(copy.texture.Get(), nullptr, &copy.view);
    if (FAILED(hr)) return fail(step_error("CreateShaderResourceView", hr));
    if (!copy.view) return fail("SRV не создан");
    source_ = std::move(copy);
  }
  context->CopyResource(source_.texture.Get(), source);
  return {};
}

Status GpuNv12Converter::run(ID3D11DeviceContext* context, Bytes& main, Bytes* second) {
  if (!source_.texture) return fail("кадра ещё нет");
  const bool both = second_ && second != nullptr;
  dispatch(context, main_);
  if (both) dispatch(context, *second_);
  if (Status read = read_back(context, main_, main); !read) return read;
  if (both) return read_back(context, *second_, *second);
  return {};
}

void GpuNv12Converter::dispatch(ID3D11DeviceContext* context, const Target& target) {
  const Nv12ShaderConstants constants = nv12_shader_constants(source_.size, target.size);
  context->UpdateSubresource(target.constants.Get(), 0, nullptr, &constants, 0, 0);
  context->CSSetShader(shader_.Get(), nullptr, 0);
  ID3D11ShaderResourceView* const views[] = {source_.view.Get()};
  context->CSSetShaderResources(0, 1, views);
  ID3D11Buffer* const buffers[] = {target.constants.Get()};
  context->CSSetConstantBuffers(0, 1, buffers);
  ID3D11UnorderedAccessView* const planes[] = {target.y_uav.Get(), target.uv_uav.Get()};
  context->CSSetUnorderedAccessViews(0, 2, planes, nullptr);
  context->Dispatch((target.size.width / 2 + 7) / 8, (target.size.height / 2 + 7) / 8, 1);
  // Unbound, so that the planes can be copied and the source copy written
  // again by the next frame.
  ID3D11UnorderedAccessView* const no_planes[] = {nullptr, nullptr};
  context->CSSetUnorderedAccessViews(0, 2, no_planes, nullptr);
  ID3D11ShaderResourceView* const no_views[] = {nullptr};
  context->CSSetShaderResources(0, 1, no_views);
  context->CopyResource(target.y_staging.Get(), target.y_texture.Get());
  context->CopyResource(target.uv_staging.Get(), target.uv_texture.Get());
}

Status GpuNv12Converter::read_back(ID3D11DeviceContext* context, const Target& target, Bytes& out) {
  const std::size_t width = target.size.width, height = target.size.height;
  out.resize(width * height * 3 / 2);
  if (Status luma = copy_plane(context, target.y_staging.Get(), height, width, out.data()); !luma) return luma;
  return copy_plane(context, target.uv_staging.Get(), height / 2, width, out.data() + width * height);
}

}  // namespace nimbra::platform
