#pragma once
// The one interface through which the capture loop reaches every backend.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra {

// Which mechanism stands behind a source; it decides how the loop paces
// itself. A duplication-like source blocks in its grab until the screen
// changes; the others deliver an image whenever asked and the loop sleeps.
enum class SourceKind { DesktopDuplication, GdiScreen, GdiWindow, WgcCapture };

inline constexpr const char* kGpuScreenOnly = "GPU-путь только для экрана";
inline constexpr const char* kGpuOff = "GPU-конверсия выключена";

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  virtual SourceKind kind() const = 0;
  // False once the captured window is gone; screens are always alive.
  virtual bool alive() { return true; }
  // The source's current image size; a BGRA grab leaves 4 * width * height bytes.
  virtual std::int32_t width() const = 0;
  virtual std::int32_t height() const = 0;

  // CPU path: true when `out` holds a new image, false when nothing is new.
  virtual Result<bool> grab(Bytes& out, std::uint32_t wait_ms) = 0;

  // GPU path (desktop duplication only): scale and convert on the GPU into one
  // or two NV12 pictures.
  virtual bool gpu_active() const { return false; }
  virtual Status enable_gpu(Size, std::optional<Size>) { return fail(kGpuScreenOnly); }
  virtual Result<bool> grab_gpu(Bytes&, Bytes*, std::uint32_t) { return fail(kGpuScreenOnly); }
  virtual Status gpu_repeat(Bytes&, Bytes*) { return fail(kGpuScreenOnly); }

  // The loop's one call per frame: the GPU path fills main_out (and
  // second_out when given), the CPU path fills out.
  Result<bool> grab_frame(bool use_gpu, Bytes& out, Bytes& main_out, Bytes* second_out, std::uint32_t wait_ms) {
    return use_gpu ? grab_gpu(main_out, second_out, wait_ms) : grab(out, wait_ms);
  }
};

using SourceOpener = std::function<Result<std::unique_ptr<CaptureSource>>()>;

}  // namespace nimbra
