// Distance kernels. Two families: exact (two float vectors) and asymmetric (a
// float query against a scalar-quantized stored vector). Each exists as a
// portable loop and, on x86-64, as AVX2/FMA and AVX-512 kernels compiled per
// function (simd_avx2.cc, simd_avx512.cc), so one build runs on any x86-64
// processor and uses the widest family it has. The dispatching entry points are
// distance_exact and distance_asym_prenorm (core/hnsw/distance.h); the
// variants are public so that tests and benchmarks can call each path.
//
// Contract of every kernel: both operands have the same length (the length of
// the first is used); no allocation; NaN and infinite components propagate by
// IEEE rules. The portable and AVX2 variants agree within rounding, not
// bit for bit (different summation order and precision).
#pragma once

#include <span>

#include "core/distance/quantized_view.h"

#if defined(__x86_64__) || defined(__i386__)
#define TESSARINE_HAVE_AVX2_KERNELS 1
#endif

namespace tessarine {

// Portable exact family: single-precision accumulation strictly in index order.
float cosine_similarity_portable(std::span<const float> a, std::span<const float> b);
float dot_product_portable(std::span<const float> a, std::span<const float> b);
float euclidean_sq_portable(std::span<const float> a, std::span<const float> b);
// The cosine above given both operands' sums of squares (sum_of_squares):
// the same bits, without summing the norms again.
float cosine_known_norms_portable(std::span<const float> a, std::span<const float> b, float na,
                                  float nb);

// Portable asymmetric family: blocks of 8 decoded terms summed in single
// precision, block sums and the tail accumulated in double precision.
float dot_product_asym(std::span<const float> query, const QuantizedView& view);
float euclidean_distance_sq_asym(std::span<const float> query, const QuantizedView& view);
// 0 when query_norm_sq or the stored norm is below epsilon, or the view has scale 0.
float cosine_similarity_asym_prenorm(std::span<const float> query, const QuantizedView& view,
                                     float query_norm_sq);
// The stored vector's sum of squares as the cosine above sums it, and the
// cosine given that sum: the two together equal the cosine above bit for bit.
double decoded_norm_sq_portable(const QuantizedView& view);
float cosine_similarity_asym_known_norm(std::span<const float> query, const QuantizedView& view,
                                        float query_norm_sq, double stored_norm_sq);

#ifdef TESSARINE_HAVE_AVX2_KERNELS
// AVX2/FMA variants: call only when cpu_has_avx2_fma() holds.
float avx2_cosine_f32(std::span<const float> a, std::span<const float> b);
float avx2_dot_product_f32(std::span<const float> a, std::span<const float> b);
float avx2_euclidean_sq_f32(std::span<const float> a, std::span<const float> b);
float avx2_dot_product_asym(std::span<const float> query, const QuantizedView& view);
float avx2_euclidean_sq_asym(std::span<const float> query, const QuantizedView& view);
float avx2_cosine_asym_prenorm(std::span<const float> query, const QuantizedView& view,
                               float query_norm_sq);
// The AVX2 pair of sum_of_squares / cosine_known_norms_portable.
float avx2_norm_sq_f32(std::span<const float> a);
float avx2_cosine_known_norms_f32(std::span<const float> a, std::span<const float> b, float na,
                                  float nb);
// The AVX2 pair of the portable decoded_norm_sq / known-norm cosine.
float avx2_decoded_norm_sq(const QuantizedView& view);
float avx2_cosine_asym_known_norm(std::span<const float> query, const QuantizedView& view,
                                  float query_norm_sq, double stored_norm_sq);

// AVX-512 variants: call only when cpu_has_avx512f() holds.
float avx512_cosine_f32(std::span<const float> a, std::span<const float> b);
float avx512_dot_product_f32(std::span<const float> a, std::span<const float> b);
float avx512_euclidean_sq_f32(std::span<const float> a, std::span<const float> b);
float avx512_norm_sq_f32(std::span<const float> a);
float avx512_cosine_known_norms_f32(std::span<const float> a, std::span<const float> b, float na,
                                    float nb);
float avx512_dot_product_asym(std::span<const float> query, const QuantizedView& view);
float avx512_euclidean_sq_asym(std::span<const float> query, const QuantizedView& view);
float avx512_cosine_asym_prenorm(std::span<const float> query, const QuantizedView& view,
                                 float query_norm_sq);
float avx512_decoded_norm_sq(const QuantizedView& view);
float avx512_cosine_asym_known_norm(std::span<const float> query, const QuantizedView& view,
                                    float query_norm_sq, double stored_norm_sq);
#endif

// Sum of squares in single precision, index order (the query's prenorm).
float sum_of_squares(std::span<const float> v);

}  // namespace tessarine
