#pragma once
// How the target pixels of one axis draw on the source, for the two passes
// of any-ratio resampling (area_scale's general shape and box_downscale's):
// `taps` consecutive source pixels per target from start[t], each with a
// weight, 0 outside the target's span.
#include <cstdint>
#include <vector>

namespace nimbra::detail {

struct AxisTaps {
  std::uint32_t source = 0;
  std::uint32_t taps = 0;
  std::vector<std::uint32_t> start;
  std::vector<std::uint32_t> weights;  // `taps` per target
  std::vector<std::uint32_t> first;    // the span's own first pixel and length
  std::vector<std::uint32_t> counts;
  std::uint32_t longest = 0;  // span
  std::uint64_t largest_weight = 0;
  std::uint64_t largest_total = 0;  // of one target's weights

  // Target t's weight of source pixel p, 0 outside its span.
  std::uint32_t weight(std::size_t t, std::uint64_t p) const {
    if (p < first[t] || p - first[t] >= counts[t]) return 0;
    return weights[t * taps + (p - start[t])];
  }
};

// Area weights: each source pixel's overlap with the target, divided by
// gcd(source, target), so that every target's weights add up to source / gcd.
// `taps` is the longest span rounded up to a multiple of `window`, or the
// whole source where that is shorter; start[t] + taps never passes it.
AxisTaps area_taps(std::uint32_t source, std::uint32_t target, std::uint32_t window);

// Box spans: [t * source / target, max(that + 1, (t + 1) * source / target)),
// clipped to the source, each pixel weighing 1.
AxisTaps box_taps(std::uint32_t source, std::uint32_t target, std::uint32_t window);

}  // namespace nimbra::detail
