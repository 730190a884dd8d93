#pragma once
// Which instruction set the pixel kernels use. Detected once from the CPU;
// tests may lower it to reach every path on one machine.
#include <string_view>

namespace nimbra {

// SSE2 is part of x86-64 itself; SSSE3 adds the byte shuffle and the byte
// multiply-add, which processors without AVX2 mostly have.
enum class SimdLevel { scalar, sse2, ssse3, avx2 };

// The best level this CPU and operating system support.
SimdLevel detected_simd_level();

// The level the kernels use now: the detected one unless lowered.
SimdLevel simd_level();

// Lowers (or restores) the level; a level above the detected one is clamped.
void force_simd_level(SimdLevel level);

std::string_view simd_level_name(SimdLevel level);

}  // namespace nimbra
