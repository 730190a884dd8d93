#pragma once
// The primary monitor through DXGI desktop duplication. A grab waits in
// AcquireNextFrame for the desktop to change, so a still screen costs one
// idle wait per frame. With a GpuNv12Converter attached the acquired texture
// is scaled and converted on the GPU and never comes to the CPU as BGRA.
// An access loss (a mode change, the secure desktop) is repaired in place by
// opening a new duplication.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include <memory>
#include <optional>

#include "capture/capture_source.h"
#include "capture/gpu_conversion.h"
#include "platform/win/d3d11_device.h"

namespace nimbra::platform {

class GpuNv12Converter;

class DesktopDuplication final : public CaptureSource, public GpuConversion {
 public:
  static Result<std::unique_ptr<DesktopDuplication>> open();
  ~DesktopDuplication() override;

  bool waits_for_change() const override { return true; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t wait_ms) override;
  GpuConversion* gpu() override { return this; }

  Status enable(Size main, std::optional<Size> second) override;
  bool enabled() const override { return converter_ != nullptr; }
  Size source_size() const override { return size_; }
  Result<bool> convert(Bytes& main, Bytes* second, std::uint32_t wait_ms) override;
  Status repeat(Bytes& main, Bytes* second) override;
  Status read_back_bgra(Bytes& out) override;

 private:
  // One open duplication: what an access loss replaces as a whole.
  struct Output {
    D3d11Device d3d;
    ComPtr<IDXGIOutputDuplication> duplication;
    ComPtr<ID3D11Texture2D> staging;
    Size staging_size;
  };
  explicit DesktopDuplication(Output output, Size size);
  static Result<Output> open_output(Size& size);
  Status recreate();
  Status fit_staging(Size size);

  Output out_;
  Size size_;  // of the last desktop image; the mode's size until the first one
  std::unique_ptr<GpuNv12Converter> converter_;
  std::optional<std::pair<Size, std::optional<Size>>> gpu_sizes_;
  bool has_frame_ = false;
  Bytes image_;
};

}  // namespace nimbra::platform
