#pragma once
// The GPU converter's compute shader (platform/win/nv12_convert.hlsl) step for
// step on the CPU, in the same single-precision operations and order: what
// the shader must produce, checked against the shader itself on a Vulkan CPU
// device, and the yardstick for how far the GPU path lies from the CPU one.
#include <cstdint>

#include "sys/bytes.h"

namespace nimbra {

// The shader's constant buffer, byte for byte (32 bytes, little-endian).
struct Nv12ShaderConstants {
  std::uint32_t src_width = 0;
  std::uint32_t src_height = 0;
  std::uint32_t dst_width = 0;
  std::uint32_t dst_height = 0;
  float scale_x = 0;  // src_width / dst_width, in single precision
  float scale_y = 0;
  float pad[2] = {0, 0};
};
static_assert(sizeof(Nv12ShaderConstants) == 32);

Nv12ShaderConstants nv12_shader_constants(Size source, Size target);

// Converts a BGRA image of src_width x src_height into an NV12 picture of
// dst_width x dst_height (both even) as the shader does with these constants.
// Writes nothing when a target size is odd or 0, or a buffer is short.
void nv12_shader_model(ByteView bgra, const Nv12ShaderConstants& constants, MutableBytes nv12);

}  // namespace nimbra
