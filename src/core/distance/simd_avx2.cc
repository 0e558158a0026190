// AVX2/FMA kernels. Each function carries its own target attribute instead of
// a global -mavx2, so this file builds into a library that runs on any x86-64
// processor; callers reach these only after cpu_has_avx2_fma().
//
// Layout shared by all kernels: blocks of 16 components with two 8-lane
// accumulators per quantity (A takes components 0-7 of a block, B 8-15) to
// hide fused-multiply-add latency; the n mod 16 tail is added one component
// at a time after the lanes are reduced.
#include "core/distance/simd.h"

#ifdef TESSARINE_HAVE_AVX2_KERNELS

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/distance/simd_constants.h"

#define TESSARINE_AVX2 __attribute__((target("avx2,fma")))

namespace tessarine {
namespace {

// (B + A), then upper 128 bits onto lower, lanes 2,3 onto 0,1, lane 1 onto 0.
TESSARINE_AVX2 inline float reduce_lanes(__m256 a, __m256 b) {
  const __m256 v = _mm256_add_ps(b, a);
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 0x55));
  return _mm_cvtss_f32(x);
}

// Eight code bytes widened and decoded: code * scale + min.
TESSARINE_AVX2 inline __m256 decode8(const uint8_t* codes, __m256 scale, __m256 min) {
  const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
  const __m256 as_float = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  return _mm256_fmadd_ps(as_float, scale, min);
}

}  // namespace

TESSARINE_AVX2 float avx2_dot_product_f32(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = a.size();
  const std::size_t blocks = n / 16;
  const float* pa = a.data();
  const float* pb = b.data();
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  std::size_t block = 0;
  for (; block + 2 <= blocks; block += 2) {
    const std::size_t i = block * 16;
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i), _mm256_loadu_ps(pb + i), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i + 8), _mm256_loadu_ps(pb + i + 8), acc_b);
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i + 16), _mm256_loadu_ps(pb + i + 16), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i + 24), _mm256_loadu_ps(pb + i + 24), acc_b);
  }
  if (block < blocks) {
    const std::size_t i = block * 16;
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i), _mm256_loadu_ps(pb + i), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(pa + i + 8), _mm256_loadu_ps(pb + i + 8), acc_b);
  }
  float sum = reduce_lanes(acc_a, acc_b);
  for (std::size_t i = blocks * 16; i < n; ++i) sum += pa[i] * pb[i];
  return sum;
}

TESSARINE_AVX2 float avx2_euclidean_sq_f32(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = a.size();
  const std::size_t blocks = n / 16;
  const float* pa = a.data();
  const float* pb = b.data();
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  const auto step = [&](std::size_t i) TESSARINE_AVX2 {
    const __m256 da = _mm256_sub_ps(_mm256_loadu_ps(pa + i), _mm256_loadu_ps(pb + i));
    const __m256 db = _mm256_sub_ps(_mm256_loadu_ps(pa + i + 8), _mm256_loadu_ps(pb + i + 8));
    acc_a = _mm256_fmadd_ps(da, da, acc_a);
    acc_b = _mm256_fmadd_ps(db, db, acc_b);
  };
  std::size_t block = 0;
  for (; block + 2 <= blocks; block += 2) {
    step(block * 16);
    step(block * 16 + 16);
  }
  if (block < blocks) step(block * 16);
  float sum = reduce_lanes(acc_a, acc_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float d = pa[i] - pb[i];
    sum += d * d;
  }
  return sum;
}

TESSARINE_AVX2 float avx2_cosine_f32(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = a.size();
  const std::size_t blocks = n / 16;
  const float* pa = a.data();
  const float* pb = b.data();
  __m256 dot_a = _mm256_setzero_ps(), dot_b = _mm256_setzero_ps();
  __m256 na_a = _mm256_setzero_ps(), na_b = _mm256_setzero_ps();
  __m256 nb_a = _mm256_setzero_ps(), nb_b = _mm256_setzero_ps();
  const auto step = [&](std::size_t i) TESSARINE_AVX2 {
    const __m256 xa = _mm256_loadu_ps(pa + i);
    const __m256 ya = _mm256_loadu_ps(pb + i);
    const __m256 xb = _mm256_loadu_ps(pa + i + 8);
    const __m256 yb = _mm256_loadu_ps(pb + i + 8);
    dot_a = _mm256_fmadd_ps(xa, ya, dot_a);
    dot_b = _mm256_fmadd_ps(xb, yb, dot_b);
    na_a = _mm256_fmadd_ps(xa, xa, na_a);
    na_b = _mm256_fmadd_ps(xb, xb, na_b);
    nb_a = _mm256_fmadd_ps(ya, ya, nb_a);
    nb_b = _mm256_fmadd_ps(yb, yb, nb_b);
  };
  std::size_t block = 0;
  for (; block + 2 <= blocks; block += 2) {
    step(block * 16);
    step(block * 16 + 16);
  }
  if (block < blocks) step(block * 16);
  float dot = reduce_lanes(dot_a, dot_b);
  float na = reduce_lanes(na_a, na_b);
  float nb = reduce_lanes(nb_a, nb_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    dot += pa[i] * pb[i];
    na += pa[i] * pa[i];
    nb += pb[i] * pb[i];
  }
  return cosine_from_sums(dot, na, nb);
}

// Sums a's squares in the order avx2_cosine_f32 does.
TESSARINE_AVX2 float avx2_norm_sq_f32(std::span<const float> a) {
  const std::size_t n = a.size();
  const std::size_t blocks = n / 16;
  const float* pa = a.data();
  __m256 na_a = _mm256_setzero_ps(), na_b = _mm256_setzero_ps();
  for (std::size_t block = 0; block < blocks; ++block) {
    const __m256 xa = _mm256_loadu_ps(pa + block * 16);
    const __m256 xb = _mm256_loadu_ps(pa + block * 16 + 8);
    na_a = _mm256_fmadd_ps(xa, xa, na_a);
    na_b = _mm256_fmadd_ps(xb, xb, na_b);
  }
  float na = reduce_lanes(na_a, na_b);
  for (std::size_t i = blocks * 16; i < n; ++i) na += pa[i] * pa[i];
  return na;
}

// avx2_dot_product_f32 sums the dot product in the order avx2_cosine_f32 does.
TESSARINE_AVX2 float avx2_cosine_known_norms_f32(std::span<const float> a, std::span<const float> b,
                                                 float na, float nb) {
  return cosine_from_sums(avx2_dot_product_f32(a, b), na, nb);
}

TESSARINE_AVX2 float avx2_dot_product_asym(std::span<const float> query,
                                           const QuantizedView& view) {
  const std::size_t n = query.size();
  const std::size_t blocks = n / 16;
  const float* q = query.data();
  const uint8_t* codes = view.codes.data();
  const __m256 scale = _mm256_set1_ps(view.scale);
  const __m256 min = _mm256_set1_ps(view.min);
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  const auto step = [&](std::size_t i) TESSARINE_AVX2 {
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(q + i), decode8(codes + i, scale, min), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(q + i + 8), decode8(codes + i + 8, scale, min), acc_b);
  };
  std::size_t block = 0;
  for (; block + 2 <= blocks; block += 2) {
    step(block * 16);
    step(block * 16 + 16);
  }
  if (block < blocks) step(block * 16);
  float sum = reduce_lanes(acc_a, acc_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float decoded = static_cast<float>(codes[i]) * view.scale;
    sum += q[i] * (decoded + view.min);
  }
  return sum;
}

TESSARINE_AVX2 float avx2_euclidean_sq_asym(std::span<const float> query,
                                            const QuantizedView& view) {
  const std::size_t n = query.size();
  const std::size_t blocks = n / 16;
  const float* q = query.data();
  const uint8_t* codes = view.codes.data();
  const __m256 scale = _mm256_set1_ps(view.scale);
  const __m256 min = _mm256_set1_ps(view.min);
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t i = block * 16;
    const __m256 da = _mm256_sub_ps(_mm256_loadu_ps(q + i), decode8(codes + i, scale, min));
    const __m256 db = _mm256_sub_ps(_mm256_loadu_ps(q + i + 8), decode8(codes + i + 8, scale, min));
    acc_a = _mm256_fmadd_ps(da, da, acc_a);
    acc_b = _mm256_fmadd_ps(db, db, acc_b);
  }
  float sum = reduce_lanes(acc_a, acc_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float decoded = static_cast<float>(codes[i]) * view.scale;
    const float d = q[i] - (decoded + view.min);
    sum += d * d;
  }
  return sum;
}

TESSARINE_AVX2 float avx2_cosine_asym_prenorm(std::span<const float> query,
                                              const QuantizedView& view, float query_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  const std::size_t n = query.size();
  const std::size_t blocks = n / 16;
  const float* q = query.data();
  const uint8_t* codes = view.codes.data();
  const __m256 scale = _mm256_set1_ps(view.scale);
  const __m256 min = _mm256_set1_ps(view.min);
  __m256 dot_a = _mm256_setzero_ps(), dot_b = _mm256_setzero_ps();
  __m256 norm_a = _mm256_setzero_ps(), norm_b = _mm256_setzero_ps();
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t i = block * 16;
    const __m256 xa = decode8(codes + i, scale, min);
    const __m256 xb = decode8(codes + i + 8, scale, min);
    dot_a = _mm256_fmadd_ps(xa, _mm256_loadu_ps(q + i), dot_a);
    dot_b = _mm256_fmadd_ps(xb, _mm256_loadu_ps(q + i + 8), dot_b);
    norm_a = _mm256_fmadd_ps(xa, xa, norm_a);
    norm_b = _mm256_fmadd_ps(xb, xb, norm_b);
  }
  float dot = reduce_lanes(dot_a, dot_b);
  float norm = reduce_lanes(norm_a, norm_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float decoded = static_cast<float>(codes[i]) * view.scale + view.min;
    dot += decoded * q[i];
    norm += decoded * decoded;
  }
  return cosine_asym_from_sums(dot, norm, query_norm_sq);
}

TESSARINE_AVX2 float avx2_decoded_norm_sq(const QuantizedView& view) {
  const std::size_t n = view.codes.size();
  const std::size_t blocks = n / 16;
  const uint8_t* codes = view.codes.data();
  const __m256 scale = _mm256_set1_ps(view.scale);
  const __m256 min = _mm256_set1_ps(view.min);
  __m256 norm_a = _mm256_setzero_ps(), norm_b = _mm256_setzero_ps();
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t i = block * 16;
    const __m256 xa = decode8(codes + i, scale, min);
    const __m256 xb = decode8(codes + i + 8, scale, min);
    norm_a = _mm256_fmadd_ps(xa, xa, norm_a);
    norm_b = _mm256_fmadd_ps(xb, xb, norm_b);
  }
  float norm = reduce_lanes(norm_a, norm_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float decoded = static_cast<float>(codes[i]) * view.scale + view.min;
    norm += decoded * decoded;
  }
  return norm;
}

TESSARINE_AVX2 float avx2_cosine_asym_known_norm(std::span<const float> query,
                                                 const QuantizedView& view, float query_norm_sq,
                                                 double stored_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  const std::size_t n = query.size();
  const std::size_t blocks = n / 16;
  const float* q = query.data();
  const uint8_t* codes = view.codes.data();
  const __m256 scale = _mm256_set1_ps(view.scale);
  const __m256 min = _mm256_set1_ps(view.min);
  __m256 dot_a = _mm256_setzero_ps(), dot_b = _mm256_setzero_ps();
  for (std::size_t block = 0; block < blocks; ++block) {
    const std::size_t i = block * 16;
    dot_a = _mm256_fmadd_ps(decode8(codes + i, scale, min), _mm256_loadu_ps(q + i), dot_a);
    dot_b = _mm256_fmadd_ps(decode8(codes + i + 8, scale, min), _mm256_loadu_ps(q + i + 8), dot_b);
  }
  float dot = reduce_lanes(dot_a, dot_b);
  for (std::size_t i = blocks * 16; i < n; ++i) {
    const float decoded = static_cast<float>(codes[i]) * view.scale + view.min;
    dot += decoded * q[i];
  }
  return cosine_asym_from_sums(dot, stored_norm_sq, query_norm_sq);
}

}  // namespace tessarine

#endif  // TESSARINE_HAVE_AVX2_KERNELS
