#include "platform/win/desktop_duplication.h"

#include <string>
#include <utility>

#include "platform/process.h"
#include "platform/win/gpu_nv12_converter.h"
#include "platform/win/hresult.h"

namespace nimbra::platform {
namespace {


// Every acquired frame goes back before the grab returns.
struct FrameLease {
  IDXGIOutputDuplication* duplication;
  ~FrameLease() { duplication->ReleaseFrame(); }
};

Size texture_size(ID3D11Texture2D* texture) {
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  return {desc.Width, desc.Height};
}

// The output that holds the desktop's origin (the primary monitor), or the first one.
Result<ComPtr<IDXGIOutput1>> primary_output(IDXGIAdapter* adapter) {
  ComPtr<IDXGIOutput> first;
  for (UINT i = 0;; ++i) {
    ComPtr<IDXGIOutput> output;
    if (FAILED(adapter->EnumOutputs(i, &output)) || !output) break;
    if (!first) first = output;
    DXGI_OUTPUT_DESC desc{};
    if (FAILED(output->GetDesc(&desc))) continue;
    const RECT& r = desc.DesktopCoordinates;
    ComPtr<IDXGIOutput1> output1;
    if (r.left <= 0 && r.top <= 0 && r.right > 0 && r.bottom > 0 && SUCCEEDED(query(output.Get(), output1))) {
      return output1;
    }
  }
  if (!first) return fail("нет видеовыходов");
  ComPtr<IDXGIOutput1> output1;
  if (HRESULT hr = query(first.Get(), output1); FAILED(hr)) return fail(step_error("IDXGIOutput1", hr));
  return output1;
}

}  // namespace

DesktopDuplication::DesktopDuplication(Output output, Size size) : out_(std::move(output)), size_(size) {}
DesktopDuplication::~DesktopDuplication() = default;

Result<DesktopDuplication::Output> DesktopDuplication::open_output(Size& size) {
  Output out;
  Result<D3d11Device> d3d = create_d3d11_device(0);
  if (!d3d) return fail(d3d.error());
  out.d3d = std::move(*d3d);
  ComPtr<IDXGIDevice> dxgi;
  if (HRESULT hr = query(out.d3d.device.Get(), dxgi); FAILED(hr)) return fail(step_error("IDXGIDevice", hr));
  ComPtr<IDXGIAdapter> adapter;
  if (HRESULT hr = dxgi->GetAdapter(&adapter); FAILED(hr) || !adapter) {
    return fail(step_error("GetAdapter", FAILED(hr) ? hr : E_POINTER));
  }
  Result<ComPtr<IDXGIOutput1>> output = primary_output(adapter.Get());
  if (!output) return fail(output.error());
  if (HRESULT hr = (*output)->DuplicateOutput(out.d3d.device.Get(), &out.duplication); FAILED(hr) || !out.duplication) {
    return fail(step_error("DuplicateOutput", FAILED(hr) ? hr : E_POINTER));
  }
  DXGI_OUTDUPL_DESC desc{};
  out.duplication->GetDesc(&desc);
  if (desc.ModeDesc.Width == 0 || desc.ModeDesc.Height == 0) {
    return fail("дубликация отдала размер " + std::to_string(desc.ModeDesc.Width) + "×" +
                std::to_string(desc.ModeDesc.Height));
  }
  size = {desc.ModeDesc.Width, desc.ModeDesc.Height};
  Result<ComPtr<ID3D11Texture2D>> staging = create_bgra_staging(out.d3d.device.Get(), size.width, size.height);
  if (!staging) return fail(staging.error());
  out.staging = std::move(*staging);
  out.staging_size = size;
  return out;
}

Result<std::unique_ptr<DesktopDuplication>> DesktopDuplication::open() {
  Size size;
  Result<Output> output = open_output(size);
  if (!output) return fail(output.error());
  return std::unique_ptr<DesktopDuplication>(new DesktopDuplication(std::move(*output), size));
}

Status DesktopDuplication::recreate() {
  Size size;
  Result<Output> output = open_output(size);
  if (!output) return fail(output.error());
  converter_.reset();  // it lived on the old device
  out_ = std::move(*output);
  size_ = size;
  has_frame_ = false;
  return {};
}

// A rotated output delivers its desktop in its own shape, not the mode's.
Status DesktopDuplication::fit_staging(Size size) {
  if (size == out_.staging_size) return {};
  Result<ComPtr<ID3D11Texture2D>> staging = create_bgra_staging(out_.d3d.device.Get(), size.width, size.height);
  if (!staging) return fail(staging.error());
  out_.staging = std::move(*staging);
  out_.staging_size = size;
  return {};
}

Result<std::optional<BgraFrame>> DesktopDuplication::grab(std::uint32_t wait_ms) {
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT hr = out_.duplication->AcquireNextFrame(wait_ms, &info, &resource);
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return std::nullopt;
  if (hr == DXGI_ERROR_ACCESS_LOST) {
    if (Status made = recreate(); !made) return fail("пересоздание дубликации: " + made.error());
    return std::nullopt;
  }
  if (FAILED(hr)) return fail(step_error("AcquireNextFrame", hr));
  const FrameLease lease{out_.duplication.Get()};
  if (info.LastPresentTime.QuadPart == 0 && has_frame_) return std::nullopt;  // only the pointer moved
  has_frame_ = true;
  if (!resource) return std::nullopt;
  ComPtr<ID3D11Texture2D> texture;
  if (HRESULT cast = query(resource.Get(), texture); FAILED(cast)) return fail(step_error("tex cast", cast));
  const Size size = texture_size(texture.Get());
  if (Status fitted = fit_staging(size); !fitted) return fail(fitted.error());
  out_.d3d.context->CopyResource(out_.staging.Get(), texture.Get());
  image_.resize(std::size_t{size.width} * size.height * 4);
  if (Status read = copy_staging_rows(out_.d3d.context.Get(), out_.staging.Get(), std::size_t{size.width} * 4,
                                      size.height, image_.data(), "Map(staging)");
      !read) {
    return fail(read.error());
  }
  size_ = size;
  return BgraFrame{image_, size};
}

Status DesktopDuplication::enable(Size main, std::optional<Size> second) {
  Result<std::unique_ptr<GpuNv12Converter>> made = GpuNv12Converter::create(out_.d3d.device.Get(), main, second);
  if (!made) return fail(made.error());
  converter_ = std::move(*made);
  gpu_sizes_ = std::pair{main, second};
  return {};
}

Result<bool> DesktopDuplication::convert(Bytes& main, Bytes* second, std::uint32_t wait_ms) {
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT hr = out_.duplication->AcquireNextFrame(wait_ms, &info, &resource);
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return false;
  if (hr == DXGI_ERROR_ACCESS_LOST) {
    const auto sizes = converter_ ? gpu_sizes_ : std::nullopt;
    if (Status made = recreate(); !made) return fail(made.error());
    if (sizes) {
      if (Status on = enable(sizes->first, sizes->second); !on) {
        write_stderr_line("[capture] GPU-конверсия после пересоздания: " + on.error() + " — CPU-путь");
      }
    }
    return false;
  }
  if (FAILED(hr)) return fail(step_error("AcquireNextFrame (GPU)", hr));
  Status converted;
  Size size = size_;
  {
    const FrameLease lease{out_.duplication.Get()};
    if (info.LastPresentTime.QuadPart == 0 && has_frame_) return false;
    ComPtr<ID3D11Texture2D> texture;
    if (!resource) {
      converted = fail("кадр без текстуры");
    } else if (HRESULT cast = query(resource.Get(), texture); FAILED(cast)) {
      converted = fail(step_error("кадр не текстура", cast));
    } else if (!converter_) {
      converted = fail("GPU-конверсия выключена");
    } else {
      size = texture_size(texture.Get());
      converted = converter_->convert(out_.d3d.context.Get(), texture.Get(), main, second);
    }
  }
  if (!converted) {
    write_stderr_line("[capture] GPU-конверсия: " + converted.error() + " — переключаюсь на CPU-путь");
    converter_.reset();
    has_frame_ = false;  // the CPU path's first grab delivers even if only the pointer moves
    return false;
  }
  has_frame_ = true;
  size_ = size;
  return true;
}

Status DesktopDuplication::repeat(Bytes& main, Bytes* second) {
  if (!converter_) return fail("GPU-конверсия выключена");
  return converter_->run(out_.d3d.context.Get(), main, second);
}

Status DesktopDuplication::read_back_bgra(Bytes& out) {
  ID3D11Texture2D* copy = converter_ ? converter_->source_copy() : nullptr;
  if (copy == nullptr) return fail("нет GPU-кадра");
  const Size size = texture_size(copy);
  if (Status fitted = fit_staging(size); !fitted) return fail(fitted.error());
  out_.d3d.context->CopyResource(out_.staging.Get(), copy);
  out.resize(std::size_t{size.width} * size.height * 4);
  return copy_staging_rows(out_.d3d.context.Get(), out_.staging.Get(), std::size_t{size.width} * 4, size.height,
                           out.data(), "Map");
}

}  // namespace nimbra::platform
