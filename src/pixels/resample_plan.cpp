#include "pixels/resample_plan.h"

#include <algorithm>
#include <numeric>

namespace nimbra::detail {
namespace {

// Lays out spans already known as (first, weights of each pixel) in windows.
AxisTaps lay_out(std::uint32_t source, const std::vector<std::uint32_t>& first,
                 const std::vector<std::vector<std::uint32_t>>& span_weights, std::uint32_t window) {
  AxisTaps axis;
  axis.source = source;
  for (const auto& w : span_weights) axis.longest = std::max(axis.longest, static_cast<std::uint32_t>(w.size()));
  axis.taps = std::min((axis.longest + window - 1) / window * window, source);
  axis.first = first;
  for (std::size_t t = 0; t < first.size(); ++t) {
    const std::uint32_t start = std::min(first[t], source - axis.taps);
    axis.start.push_back(start);
    axis.counts.push_back(static_cast<std::uint32_t>(span_weights[t].size()));
    std::uint64_t total = 0;
    for (std::uint32_t j = 0; j < axis.taps; ++j) {
      const std::uint32_t p = start + j;
      const bool inside = p >= first[t] && p - first[t] < span_weights[t].size();
      const std::uint32_t w = inside ? span_weights[t][p - first[t]] : 0;
      axis.weights.push_back(w);
      axis.largest_weight = std::max<std::uint64_t>(axis.largest_weight, w);
      total += w;
    }
    axis.largest_total = std::max(axis.largest_total, total);
  }
  return axis;
}

}  // namespace

AxisTaps area_taps(std::uint32_t source, std::uint32_t target, std::uint32_t window) {
  const std::uint64_t s = source, t = target, g = std::gcd(s, t);
  std::vector<std::uint32_t> first(target);
  std::vector<std::vector<std::uint32_t>> weights(target);
  for (std::uint64_t i = 0; i < t; ++i) {
    const std::uint64_t begin = i * s / t, end = ((i + 1) * s + t - 1) / t;
    first[i] = static_cast<std::uint32_t>(begin);
    for (std::uint64_t p = begin; p < end; ++p) {
      const std::uint64_t overlap = std::min((p + 1) * t, (i + 1) * s) - std::max(p * t, i * s);
      weights[i].push_back(static_cast<std::uint32_t>(overlap / g));
    }
  }
  return lay_out(source, first, weights, window);
}

AxisTaps box_taps(std::uint32_t source, std::uint32_t target, std::uint32_t window) {
  const std::uint64_t s = source, t = target;
  std::vector<std::uint32_t> first(target);
  std::vector<std::vector<std::uint32_t>> weights(target);
  for (std::uint64_t i = 0; i < t; ++i) {
    const std::uint64_t begin = i * s / t, end = std::min(std::max(begin + 1, (i + 1) * s / t), s);
    first[i] = static_cast<std::uint32_t>(begin);
    weights[i].assign(end - begin, 1);
  }
  return lay_out(source, first, weights, window);
}

}  // namespace nimbra::detail
