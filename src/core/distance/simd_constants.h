// Constants and final steps shared by the portable and the AVX2 kernels, so
// both families apply the same epsilon rules.
#pragma once

#include <cmath>

namespace tessarine {

// The f32 nearest to 1e-10 (bits 0x2EDBE6FF).
inline constexpr float kCosineEpsilonF = 1e-10f;
// 1e-10 in double precision, for the asymmetric cosine denominator.
inline constexpr double kCosineEpsilonD = 1e-10;

// Cosine similarity from dot, |a|^2 and |b|^2; 0 when the norms' product is
// below epsilon (a NaN product does not take that branch).
inline float cosine_from_sums(float dot, float na, float nb) {
  const float denom = std::sqrt(na) * std::sqrt(nb);
  if (kCosineEpsilonF > denom) return 0.0f;
  return dot / denom;
}

// The asymmetric cosine's last step: the denominator in double precision.
inline float cosine_asym_from_sums(double dot, double norm, float query_norm_sq) {
  const double denom = std::sqrt(static_cast<double>(query_norm_sq)) * std::sqrt(norm);
  if (kCosineEpsilonD > denom) return 0.0f;
  return static_cast<float>(dot / denom);
}

}  // namespace tessarine
