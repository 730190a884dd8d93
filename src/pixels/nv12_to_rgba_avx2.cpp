// AVX2 rows of nv12_to_rgba: 32 pixels of each of the two rows per step.
// The 16-bit arithmetic is explained in nv12_to_rgba_rows.h.
#include <immintrin.h>

#include "pixels/nv12_to_rgba_rows.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

using namespace nv12_terms;

inline __m256i splat(int v) { return _mm256_set1_epi16(static_cast<short>(v)); }

// A factor the compiler cannot see: it would otherwise turn each one-cycle
// 16-bit multiply into a longer chain of shifts and adds.
inline __m256i factor(int v) {
  __m256i f = splat(v);
  asm("" : "+x"(f));
  return f;
}

// Loads are permuted so that lane 0 holds pixels 0-3, 8-11, 16-19, 24-27 and
// lane 1 the others: after the in-lane unpacks the RGBA stores come out in
// order without crossing lanes.
const __m256i kQuadOrder = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);

struct Chroma {
  __m256i n_r, n_g, n_b, two_d;
};

inline void row32(const std::uint8_t* luma, const Chroma& lo, const Chroma& hi, std::uint8_t* out) {
  const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma));
  const __m256i l = _mm256_max_epu8(_mm256_permutevar8x32_epi32(raw, kQuadOrder), _mm256_set1_epi8(16));
  const __m256i zero = _mm256_setzero_si256();
  const __m256i a_lo = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(l, zero), factor(kLumaFactor)),
                                        splat(kOffset));
  const __m256i a_hi = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(l, zero), factor(kLumaFactor)),
                                        splat(kOffset));
  auto channel = [](__m256i a, __m256i n) { return _mm256_srli_epi16(_mm256_subs_epu16(a, n), 7); };
  const __m256i r = _mm256_packus_epi16(channel(a_lo, lo.n_r), channel(a_hi, hi.n_r));
  const __m256i g = _mm256_packus_epi16(channel(a_lo, lo.n_g), channel(a_hi, hi.n_g));
  const __m256i b = _mm256_packus_epi16(_mm256_add_epi16(channel(a_lo, lo.n_b), lo.two_d),
                                        _mm256_add_epi16(channel(a_hi, hi.n_b), hi.two_d));
  const __m256i alpha = _mm256_set1_epi8(-1);
  const __m256i rg_lo = _mm256_unpacklo_epi8(r, g), rg_hi = _mm256_unpackhi_epi8(r, g);
  const __m256i ba_lo = _mm256_unpacklo_epi8(b, alpha), ba_hi = _mm256_unpackhi_epi8(b, alpha);
  auto* dst = reinterpret_cast<__m256i*>(out);
  _mm256_storeu_si256(dst, _mm256_unpacklo_epi16(rg_lo, ba_lo));
  _mm256_storeu_si256(dst + 1, _mm256_unpackhi_epi16(rg_lo, ba_lo));
  _mm256_storeu_si256(dst + 2, _mm256_unpacklo_epi16(rg_hi, ba_hi));
  _mm256_storeu_si256(dst + 3, _mm256_unpackhi_epi16(rg_hi, ba_hi));
}

}  // namespace

std::size_t nv12_to_rgba_rows_avx2(const std::uint8_t* luma0, const std::uint8_t* luma1,
                                   const std::uint8_t* chroma, std::uint8_t* rgba0, std::uint8_t* rgba1,
                                   std::size_t width) {
  // The next pair of rows and their chroma row.
  const std::ptrdiff_t stride = luma1 - luma0;
  std::size_t x = 0;
  for (; x + 32 <= width; x += 32) {
    if (x % 64 == 0) {
      prefetch_ahead(luma0 + x, 2 * stride);
      prefetch_ahead(luma1 + x, 2 * stride);
      prefetch_ahead(chroma + x, stride);
    }
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chroma + x));
    const __m256i uv = _mm256_permutevar8x32_epi32(raw, kQuadOrder);
    // Chroma terms once per sample, then widened to the two pixels of each.
    const __m256i u = _mm256_and_si256(uv, splat(0xFF)), v = _mm256_srli_epi16(uv, 8);
    const __m256i n_r = _mm256_sub_epi16(_mm256_sub_epi16(splat(kRedBase), _mm256_mullo_epi16(v, factor(204))),
                                         _mm256_srli_epi16(v, 1));
    const __m256i n_g = _mm256_add_epi16(_mm256_add_epi16(splat(kGreenBase), _mm256_mullo_epi16(u, factor(50))),
                                         _mm256_mullo_epi16(v, factor(104)));
    const __m256i u2 = _mm256_add_epi16(u, u);
    const __m256i n_b = _mm256_sub_epi16(splat(kBlueBase), u2);
    const __m256i two_d = _mm256_sub_epi16(u2, splat(256));
    const Chroma lo{_mm256_unpacklo_epi16(n_r, n_r), _mm256_unpacklo_epi16(n_g, n_g),
                    _mm256_unpacklo_epi16(n_b, n_b), _mm256_unpacklo_epi16(two_d, two_d)};
    const Chroma hi{_mm256_unpackhi_epi16(n_r, n_r), _mm256_unpackhi_epi16(n_g, n_g),
                    _mm256_unpackhi_epi16(n_b, n_b), _mm256_unpackhi_epi16(two_d, two_d)};
    row32(luma0 + x, lo, hi, rgba0 + x * 4);
    row32(luma1 + x, lo, hi, rgba1 + x * 4);
  }
  return x;
}

}  // namespace nimbra::detail
