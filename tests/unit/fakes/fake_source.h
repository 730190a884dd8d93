#pragma once
// A capture source whose images and grab results the test decides.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "capture/capture_source.h"
#include "sys/clock.h"

namespace nimbra::testing {

struct FakeSourceState {
  SourceKind kind = SourceKind::GdiScreen;
  std::int32_t width = 64;
  std::int32_t height = 36;
  Bytes image;  // what a successful CPU grab delivers; filled with grey when empty
  Bytes nv12;   // what a successful GPU grab delivers
  Bytes low_nv12;
  // Decides each grab's result by its index; empty: always a new image.
  std::function<Result<bool>(std::size_t index)> script;
  std::optional<Instant> dies_at;  // alive() turns false from then on
  bool gpu_possible = false;
  std::string gpu_error = "нет GPU";
  bool gpu_on = false;
  std::optional<Size> gpu_second;
  struct Grab {
    Instant at{};
    std::uint32_t wait_ms = 0;
    bool gpu = false;
    bool second = false;
  };
  std::vector<Grab> grabs;
  int gpu_repeats = 0;
};

class FakeSource final : public CaptureSource {
 public:
  FakeSource(FakeSourceState& state, Clock& clock) : s_(state), clock_(clock) {}

  SourceKind kind() const override { return s_.kind; }
  bool alive() override { return !s_.dies_at || clock_.now() < *s_.dies_at; }
  std::int32_t width() const override { return s_.width; }
  std::int32_t height() const override { return s_.height; }

  Result<bool> grab(Bytes& out, std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, false, false);
    if (r && *r) {
      if (s_.image.empty()) s_.image.assign(std::size_t(s_.width) * s_.height * 4, 0x80);
      out = s_.image;
    }
    return r;
  }

  bool gpu_active() const override { return s_.gpu_on; }
  Status enable_gpu(Size, std::optional<Size> second) override {
    if (!s_.gpu_possible) return fail(s_.gpu_error);
    s_.gpu_on = true;
    s_.gpu_second = second;
    return {};
  }
  Result<bool> grab_gpu(Bytes& main_out, Bytes* second_out, std::uint32_t wait_ms) override {
    Result<bool> r = next(wait_ms, true, second_out != nullptr);
    if (r && *r) {
      main_out = s_.nv12;
      if (second_out) *second_out = s_.low_nv12;
    }
    return r;
  }
  Status gpu_repeat(Bytes&, Bytes*) override {
    ++s_.gpu_repeats;
    return {};
  }

 private:
  Result<bool> next(std::uint32_t wait_ms, bool gpu, bool second) {
    const std::size_t index = s_.grabs.size();
    s_.grabs.push_back({clock_.now(), wait_ms, gpu, second});
    Result<bool> r = s_.script ? s_.script(index) : Result<bool>(true);
    // A duplication-like source blocks for its whole wait when nothing changes.
    if (r && !*r && s_.kind == SourceKind::DesktopDuplication) clock_.sleep_for(std::chrono::milliseconds(wait_ms));
    return r;
  }

  FakeSourceState& s_;
  Clock& clock_;
};

}  // namespace nimbra::testing
