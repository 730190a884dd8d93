#include "platform/capture_sources.h"

namespace nimbra::platform {
namespace {

// The Windows backends come later; until then a capture session ends with
// status 3 and says why in the usual two lines.
constexpr const char* kNotInThisBuild = "нет в этой сборке";

}  // namespace

Result<std::unique_ptr<CaptureSource>> open_screen() { return fail(kNotInThisBuild); }
Result<std::unique_ptr<CaptureSource>> open_screen_fallback() { return fail(kNotInThisBuild); }
Result<std::unique_ptr<CaptureSource>> open_window(std::int64_t) { return fail(kNotInThisBuild); }
Result<std::unique_ptr<CaptureSource>> open_window_fallback(std::int64_t) { return fail(kNotInThisBuild); }

}  // namespace nimbra::platform
