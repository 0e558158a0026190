#include "core/distance/distance.h"

#include <algorithm>

#include "core/base/fatal.h"
#include "core/distance/cpu_features.h"
#include "core/distance/simd.h"

namespace tessarine {
namespace {

// Kernels read the first operand's length; clipping both to the common
// length keeps a mismatched pair from reading past the shorter one.
struct ExactPair {
  std::span<const float> a, b;
};
ExactPair common(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = std::min(a.size(), b.size());
  return {a.first(n), b.first(n)};
}
std::span<const float> common(std::span<const float> query, const QuantizedView& view) {
  return query.first(std::min(query.size(), view.codes.size()));
}

}  // namespace

float distance_exact_portable(DistanceMetric metric, std::span<const float> a,
                              std::span<const float> b) {
  const auto [x, y] = common(a, b);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - cosine_similarity_portable(x, y);
    case DistanceMetric::Euclidean:
      return euclidean_sq_portable(x, y);
    case DistanceMetric::DotProduct:
      return -dot_product_portable(x, y);
  }
  fatal("unknown distance metric");
}

float distance_asym_prenorm_portable(DistanceMetric metric, std::span<const float> query,
                                     const QuantizedView& view, float query_norm_sq) {
  const auto q = common(query, view);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - cosine_similarity_asym_prenorm(q, view, query_norm_sq);
    case DistanceMetric::Euclidean:
      return euclidean_distance_sq_asym(q, view);
    case DistanceMetric::DotProduct:
      return -dot_product_asym(q, view);
  }
  fatal("unknown distance metric");
}

#ifdef TESSARINE_HAVE_AVX2_KERNELS
float distance_exact_avx2(DistanceMetric metric, std::span<const float> a,
                          std::span<const float> b) {
  const auto [x, y] = common(a, b);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - avx2_cosine_f32(x, y);
    case DistanceMetric::Euclidean:
      return avx2_euclidean_sq_f32(x, y);
    case DistanceMetric::DotProduct:
      return -avx2_dot_product_f32(x, y);
  }
  fatal("unknown distance metric");
}

float distance_asym_prenorm_avx2(DistanceMetric metric, std::span<const float> query,
                                 const QuantizedView& view, float query_norm_sq) {
  const auto q = common(query, view);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - avx2_cosine_asym_prenorm(q, view, query_norm_sq);
    case DistanceMetric::Euclidean:
      return avx2_euclidean_sq_asym(q, view);
    case DistanceMetric::DotProduct:
      return -avx2_dot_product_asym(q, view);
  }
  fatal("unknown distance metric");
}

float distance_exact_avx512(DistanceMetric metric, std::span<const float> a,
                            std::span<const float> b) {
  const auto [x, y] = common(a, b);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - avx512_cosine_f32(x, y);
    case DistanceMetric::Euclidean:
      return avx512_euclidean_sq_f32(x, y);
    case DistanceMetric::DotProduct:
      return -avx512_dot_product_f32(x, y);
  }
  fatal("unknown distance metric");
}

float distance_asym_prenorm_avx512(DistanceMetric metric, std::span<const float> query,
                                   const QuantizedView& view, float query_norm_sq) {
  const auto q = common(query, view);
  switch (metric) {
    case DistanceMetric::Cosine:
      return 1.0f - avx512_cosine_asym_prenorm(q, view, query_norm_sq);
    case DistanceMetric::Euclidean:
      return avx512_euclidean_sq_asym(q, view);
    case DistanceMetric::DotProduct:
      return -avx512_dot_product_asym(q, view);
  }
  fatal("unknown distance metric");
}
#else
float distance_exact_avx512(DistanceMetric metric, std::span<const float> a,
                            std::span<const float> b) {
  return distance_exact_portable(metric, a, b);
}
float distance_asym_prenorm_avx512(DistanceMetric metric, std::span<const float> query,
                                   const QuantizedView& view, float query_norm_sq) {
  return distance_asym_prenorm_portable(metric, query, view, query_norm_sq);
}
float distance_exact_avx2(DistanceMetric metric, std::span<const float> a,
                          std::span<const float> b) {
  return distance_exact_portable(metric, a, b);
}
float distance_asym_prenorm_avx2(DistanceMetric metric, std::span<const float> query,
                                 const QuantizedView& view, float query_norm_sq) {
  return distance_asym_prenorm_portable(metric, query, view, query_norm_sq);
}
#endif

float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  if (cpu_has_avx512f()) return distance_exact_avx512(metric, a, b);
  if (cpu_has_avx2_fma()) return distance_exact_avx2(metric, a, b);
  return distance_exact_portable(metric, a, b);
}

float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedView& view, float query_norm_sq) {
  if (cpu_has_avx512f()) return distance_asym_prenorm_avx512(metric, query, view, query_norm_sq);
  if (cpu_has_avx2_fma()) return distance_asym_prenorm_avx2(metric, query, view, query_norm_sq);
  return distance_asym_prenorm_portable(metric, query, view, query_norm_sq);
}

float exact_norm_sq(std::span<const float> v) {
#ifdef TESSARINE_HAVE_AVX2_KERNELS
  if (cpu_has_avx512f()) return avx512_norm_sq_f32(v);
  if (cpu_has_avx2_fma()) return avx2_norm_sq_f32(v);
#endif
  return sum_of_squares(v);
}

float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b,
                     float a_norm_sq, float b_norm_sq) {
  if (metric != DistanceMetric::Cosine || a.size() != b.size()) return distance_exact(metric, a, b);
#ifdef TESSARINE_HAVE_AVX2_KERNELS
  if (cpu_has_avx512f()) return 1.0f - avx512_cosine_known_norms_f32(a, b, a_norm_sq, b_norm_sq);
  if (cpu_has_avx2_fma()) return 1.0f - avx2_cosine_known_norms_f32(a, b, a_norm_sq, b_norm_sq);
#endif
  return 1.0f - cosine_known_norms_portable(a, b, a_norm_sq, b_norm_sq);
}

double decoded_norm_sq(const QuantizedView& view) {
#ifdef TESSARINE_HAVE_AVX2_KERNELS
  if (cpu_has_avx512f()) return avx512_decoded_norm_sq(view);
  if (cpu_has_avx2_fma()) return avx2_decoded_norm_sq(view);
#endif
  return decoded_norm_sq_portable(view);
}

float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedView& view, float query_norm_sq, double stored_norm_sq) {
  if (metric != DistanceMetric::Cosine) {
    return distance_asym_prenorm(metric, query, view, query_norm_sq);
  }
  const auto q = common(query, view);
#ifdef TESSARINE_HAVE_AVX2_KERNELS
  if (cpu_has_avx512f()) {
    return 1.0f - avx512_cosine_asym_known_norm(q, view, query_norm_sq, stored_norm_sq);
  }
  if (cpu_has_avx2_fma()) {
    return 1.0f - avx2_cosine_asym_known_norm(q, view, query_norm_sq, stored_norm_sq);
  }
#endif
  return 1.0f - cosine_similarity_asym_known_norm(q, view, query_norm_sq, stored_norm_sq);
}

}  // namespace tessarine
