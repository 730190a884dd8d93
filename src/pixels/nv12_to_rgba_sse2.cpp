// SSE2 rows of nv12_to_rgba: 16 pixels of each of the two rows per step.
// The 16-bit arithmetic is explained in nv12_to_rgba_rows.h.
#include <emmintrin.h>

#include "pixels/nv12_to_rgba_rows.h"
#include "pixels/prefetch.h"

namespace nimbra::detail {
namespace {

using namespace nv12_terms;

inline __m128i splat(int v) { return _mm_set1_epi16(static_cast<short>(v)); }

// Keeps the compiler from turning each multiply into shifts and adds.
inline __m128i factor(int v) {
  __m128i f = splat(v);
  asm("" : "+x"(f));
  return f;
}

struct Chroma {
  __m128i n_r, n_g, n_b, two_d;
};

inline void row16(const std::uint8_t* luma, const Chroma& lo, const Chroma& hi, std::uint8_t* out) {
  const __m128i l = _mm_max_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma)), _mm_set1_epi8(16));
  const __m128i zero = _mm_setzero_si128();
  const __m128i a_lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(l, zero), factor(kLumaFactor)), splat(kOffset));
  const __m128i a_hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(l, zero), factor(kLumaFactor)), splat(kOffset));
  auto channel = [](__m128i a, __m128i n) { return _mm_srli_epi16(_mm_subs_epu16(a, n), 7); };
  const __m128i r = _mm_packus_epi16(channel(a_lo, lo.n_r), channel(a_hi, hi.n_r));
  const __m128i g = _mm_packus_epi16(channel(a_lo, lo.n_g), channel(a_hi, hi.n_g));
  const __m128i b =
      _mm_packus_epi16(_mm_add_epi16(channel(a_lo, lo.n_b), lo.two_d), _mm_add_epi16(channel(a_hi, hi.n_b), hi.two_d));
  const __m128i alpha = _mm_set1_epi8(-1);
  const __m128i rg_lo = _mm_unpacklo_epi8(r, g), rg_hi = _mm_unpackhi_epi8(r, g);
  const __m128i ba_lo = _mm_unpacklo_epi8(b, alpha), ba_hi = _mm_unpackhi_epi8(b, alpha);
  auto* dst = reinterpret_cast<__m128i*>(out);
  _mm_storeu_si128(dst, _mm_unpacklo_epi16(rg_lo, ba_lo));
  _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(rg_lo, ba_lo));
  _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(rg_hi, ba_hi));
  _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(rg_hi, ba_hi));
}

}  // namespace

std::size_t nv12_to_rgba_rows_sse2(const std::uint8_t* luma0, const std::uint8_t* luma1, const std::uint8_t* chroma,
                                   std::uint8_t* rgba0, std::uint8_t* rgba1, std::size_t width) {
  // The next pair of rows and their chroma row.
  const std::ptrdiff_t stride = luma1 - luma0;
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    if (x % 64 == 0) {
      prefetch_ahead(luma0 + x, 2 * stride);
      prefetch_ahead(luma1 + x, 2 * stride);
      prefetch_ahead(chroma + x, stride);
    }
    const __m128i uv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + x));
    const __m128i u = _mm_and_si128(uv, splat(0xFF)), v = _mm_srli_epi16(uv, 8);
    const __m128i n_r =
        _mm_sub_epi16(_mm_sub_epi16(splat(kRedBase), _mm_mullo_epi16(v, factor(204))), _mm_srli_epi16(v, 1));
    const __m128i n_g = _mm_add_epi16(_mm_add_epi16(splat(kGreenBase), _mm_mullo_epi16(u, factor(50))),
                                      _mm_mullo_epi16(v, factor(104)));
    const __m128i u2 = _mm_add_epi16(u, u);
    const __m128i n_b = _mm_sub_epi16(splat(kBlueBase), u2);
    const __m128i two_d = _mm_sub_epi16(u2, splat(256));
    const Chroma lo{_mm_unpacklo_epi16(n_r, n_r), _mm_unpacklo_epi16(n_g, n_g), _mm_unpacklo_epi16(n_b, n_b),
                    _mm_unpacklo_epi16(two_d, two_d)};
    const Chroma hi{_mm_unpackhi_epi16(n_r, n_r), _mm_unpackhi_epi16(n_g, n_g), _mm_unpackhi_epi16(n_b, n_b),
                    _mm_unpackhi_epi16(two_d, two_d)};
    row16(luma0 + x, lo, hi, rgba0 + x * 4);
    row16(luma1 + x, lo, hi, rgba1 + x * 4);
  }
  return x;
}

}  // namespace nimbra::detail
