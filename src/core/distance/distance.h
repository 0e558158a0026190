// The collection's distance metric and the two distance functions every
// comparison goes through. A distance is a 32-bit float for which smaller
// means closer, whatever the metric.
#pragma once

#include <cstdint>
#include <span>

#include "core/distance/quantized_view.h"

namespace tessarine {

// The enumerator value is the persisted variant index.
enum class DistanceMetric : uint8_t {
  Cosine = 0,      // 1 - cosine similarity
  Euclidean = 1,   // squared Euclidean distance
  DotProduct = 2,  // -(dot product)
};

// Exact distance between a query `a` and a stored vector `b`. Cosine of an
// all-zero (or empty) vector is exactly 1.0. Operands should have equal
// lengths; only the common prefix is read if they do not.
float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b);

// Distance between a float query and a scalar-quantized stored vector.
// `query_norm_sq` is sum_of_squares(query), computed once per search.
float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedView& view, float query_norm_sq);

// A vector's sum of squares as the active exact cosine kernel sums it.
// Passed to the overload below, both operands' sums spare each call summing
// them again and give the same distance as the two-operand form.
float exact_norm_sq(std::span<const float> v);
float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b,
                     float a_norm_sq, float b_norm_sq);

// The stored vector's decoded sum of squares, summed as the active cosine
// kernel sums it. Passed to the overload below, it spares each call that sum
// and gives the same distance as the overload above.
double decoded_norm_sq(const QuantizedView& view);
float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            const QuantizedView& view, float query_norm_sq, double stored_norm_sq);

// The paths behind the functions above, for tests and benchmarks. The
// AVX2 forms may only be called when cpu_has_avx2_fma() holds.
float distance_exact_portable(DistanceMetric metric, std::span<const float> a,
                              std::span<const float> b);
float distance_asym_prenorm_portable(DistanceMetric metric, std::span<const float> query,
                                     const QuantizedView& view, float query_norm_sq);
float distance_exact_avx2(DistanceMetric metric, std::span<const float> a,
                          std::span<const float> b);
float distance_asym_prenorm_avx2(DistanceMetric metric, std::span<const float> query,
                                 const QuantizedView& view, float query_norm_sq);
// The AVX-512 forms: only when cpu_has_avx512f() holds.
float distance_exact_avx512(DistanceMetric metric, std::span<const float> a,
                            std::span<const float> b);
float distance_asym_prenorm_avx512(DistanceMetric metric, std::span<const float> query,
                                   const QuantizedView& view, float query_norm_sq);

}  // namespace tessarine
