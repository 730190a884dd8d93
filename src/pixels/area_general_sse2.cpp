// SSE2 passes of the general area scale, for weight totals whose sums fit
// 32 bits and column weights below 2^15: four channels in one register,
// two source pixels per 16-bit multiply-add.
#include <emmintrin.h>

#include <cstring>

#include "pixels/area_general.h"

namespace nimbra::detail {

void area_horizontal_sse2(const std::uint8_t* row, const PairedSpan* columns, const std::uint32_t* pair_weights,
                          std::size_t dst_width, std::uint32_t* out) {
  const __m128i zero = _mm_setzero_si128();
  for (std::size_t tx = 0; tx < dst_width; ++tx) {
    const PairedSpan& span = columns[tx];
    const std::uint8_t* p = row + std::size_t{span.first} * 4;
    const std::uint32_t* w = pair_weights + span.pairs_at;
    __m128i sum = zero;
    std::uint32_t i = 0;
    for (; i + 2 <= span.count; i += 2, p += 8, ++w) {
      // B0 G0 R0 A0 B1 G1 R1 A1 as words, then B0 B1 G0 G1 ... for the pair weights.
      const __m128i px = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
      const __m128i pairs = _mm_unpacklo_epi16(px, _mm_srli_si128(px, 8));
      sum = _mm_add_epi32(sum, _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int>(*w))));
    }
    if (i < span.count) {  // the odd last pixel; its pair weight has 0 in the upper half
      std::int32_t last;
      std::memcpy(&last, p, 4);
      const __m128i px = _mm_unpacklo_epi8(_mm_cvtsi32_si128(last), zero);
      sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(px, zero), _mm_set1_epi32(static_cast<int>(*w))));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + tx * 4), sum);
  }
}

void area_vertical_sse2(const std::uint32_t* line, std::uint32_t weight, std::size_t n, std::uint32_t* acc,
                        bool first, std::uint32_t start) {
  // Every product is below 2^32 (the sums are), so the 64-bit products of
  // the even and odd lanes recombine without carries.
  const __m128i w = _mm_set1_epi32(static_cast<int>(weight)), base = _mm_set1_epi32(static_cast<int>(start));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
    const __m128i even = _mm_mul_epu32(h, w);
    const __m128i odd = _mm_slli_epi64(_mm_mul_epu32(_mm_srli_epi64(h, 32), w), 32);
    auto* a = reinterpret_cast<__m128i*>(acc + i);
    _mm_storeu_si128(a, _mm_add_epi32(first ? base : _mm_loadu_si128(a), _mm_or_si128(even, odd)));
  }
  for (; i < n; ++i) acc[i] = (first ? start : acc[i]) + weight * line[i];
}

void area_shift_out_sse2(const std::uint32_t* acc, std::size_t n, int shift, std::uint8_t* out) {
  const __m128i count = _mm_cvtsi32_si128(shift), opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  auto load = [&](std::size_t i) {
    return _mm_srl_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + i)), count);
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i lo = _mm_packs_epi32(load(i), load(i + 4)), hi = _mm_packs_epi32(load(i + 8), load(i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(_mm_packus_epi16(lo, hi), opaque));
  }
  for (; i < n; i += 4) {
    for (std::size_t k = 0; k < 3; ++k) out[i + k] = static_cast<std::uint8_t>(acc[i + k] >> shift);
    out[i + 3] = 255;
  }
}

void area_magic_out_sse2(const std::uint32_t* acc, std::size_t n, std::uint64_t magic, std::uint8_t* out) {
  // floor(a m / 2^64) = floor((a m_high + floor(a m_low / 2^32)) / 2^32),
  // with every partial product and sum inside 64 bits for a < 2^32.
  const __m128i low = _mm_set1_epi32(static_cast<int>(magic & 0xFFFFFFFFu));
  const __m128i high = _mm_set1_epi32(static_cast<int>(magic >> 32));
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  auto even_lanes = [&](__m128i a) {  // uses and returns lanes 0 and 2
    const __m128i carry = _mm_srli_epi64(_mm_mul_epu32(a, low), 32);
    return _mm_srli_epi64(_mm_add_epi64(_mm_mul_epu32(a, high), carry), 32);
  };
  auto quotients = [&](std::size_t i) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + i));
    return _mm_or_si128(even_lanes(a), _mm_slli_epi64(even_lanes(_mm_srli_epi64(a, 32)), 32));
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i lo = _mm_packs_epi32(quotients(i), quotients(i + 4));
    const __m128i hi = _mm_packs_epi32(quotients(i + 8), quotients(i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(_mm_packus_epi16(lo, hi), opaque));
  }
  __extension__ using Wide = unsigned __int128;
  for (; i < n; i += 4) {
    for (std::size_t k = 0; k < 3; ++k) out[i + k] = static_cast<std::uint8_t>((Wide{acc[i + k]} * magic) >> 64);
    out[i + 3] = 255;
  }
}

}  // namespace nimbra::detail
