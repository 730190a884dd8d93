// AVX2 vertical pass of the general area scale: eight 32-bit lanes with a
// plain 32-bit multiply, where SSE2 needs two 64-bit ones per four lanes.
#include <immintrin.h>

#include "pixels/area_general.h"

namespace nimbra::detail {

void area_vertical_avx2(const std::uint32_t* line, std::uint32_t weight, std::size_t n, std::uint32_t* acc,
                        bool first, std::uint32_t start) {
  const __m256i w = _mm256_set1_epi32(static_cast<int>(weight)), base = _mm256_set1_epi32(static_cast<int>(start));
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + i));
    auto* a = reinterpret_cast<__m256i*>(acc + i);
    _mm256_storeu_si256(a, _mm256_add_epi32(first ? base : _mm256_loadu_si256(a), _mm256_mullo_epi32(h, w)));
  }
  for (; i < n; ++i) acc[i] = (first ? start : acc[i]) + weight * line[i];
}

}  // namespace nimbra::detail
