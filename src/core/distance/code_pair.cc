#include "core/distance/code_pair.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/base/fatal.h"
#include "core/distance/simd_constants.h"

namespace tessarine {

CodeStats code_stats_of(const QuantizedView& view) {
  const CodeSums sums = code_sums(view.codes);
  const double n = static_cast<double>(view.codes.size());
  const double m = view.min, s = view.scale;
  CodeStats stats;
  stats.scaled_sum = s * static_cast<double>(sums.sum);
  // Sum over i of (m + s * c_i)^2, expanded.
  stats.norm_sq = n * m * m + 2.0 * m * stats.scaled_sum + s * s * static_cast<double>(sums.sum_sq);
  stats.norm = std::sqrt(stats.norm_sq);
  stats.inverse_norm = stats.norm > 0.0 ? 1.0 / stats.norm : 0.0;
  return stats;
}

float distance_between_codes(DistanceMetric metric, const CodedVector& a, const CodedVector& b) {
  const std::size_t length = std::min(a.view.codes.size(), b.view.codes.size());
  if (length != a.view.codes.size() || length != b.view.codes.size()) {
    // The sums of the longer vector cover components the other lacks; measure
    // the common prefix alone.
    return distance_between_codes(
        metric, CodedVector::of({a.view.codes.first(length), a.view.min, a.view.scale}),
        CodedVector::of({b.view.codes.first(length), b.view.min, b.view.scale}));
  }
  // Sum over i of (ma + sa * a_i) * (mb + sb * b_i), expanded.
  const double ma = a.view.min, sa = a.view.scale;
  const double mb = b.view.min, sb = b.view.scale;
  static const CodeDotKernel dot_codes = code_dot_kernel();
  const double codes_dot = static_cast<double>(dot_codes(a.view.codes, b.view.codes));
  const double dot = static_cast<double>(length) * ma * mb + ma * b.stats.scaled_sum +
                     mb * a.stats.scaled_sum + sa * sb * codes_dot;
  switch (metric) {
    case DistanceMetric::Cosine: {
      // Multiplying by the inverse norms spares a division on the path of
      // every comparison the neighbour selection waits for.
      if (kCosineEpsilonD > a.stats.norm * b.stats.norm) return 1.0f;
      return 1.0f - static_cast<float>(dot * a.stats.inverse_norm * b.stats.inverse_norm);
    }
    case DistanceMetric::Euclidean: {
      // Rounding may leave a hair below zero for equal vectors.
      const double sq = a.stats.norm_sq + b.stats.norm_sq - 2.0 * dot;
      return static_cast<float>(std::max(sq, 0.0));
    }
    case DistanceMetric::DotProduct:
      return static_cast<float>(-dot);
  }
  fatal("unknown distance metric");
}

bool same_codes(const CodedVector& a, const CodedVector& b) {
  return a.view.min == b.view.min && a.view.scale == b.view.scale &&
         a.stats.scaled_sum == b.stats.scaled_sum && a.view.codes.size() == b.view.codes.size() &&
         std::memcmp(a.view.codes.data(), b.view.codes.data(), a.view.codes.size()) == 0;
}

}  // namespace tessarine
