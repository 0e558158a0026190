// AVX-512 kernels (foundation instructions only). Like the AVX2 file, each
// function carries its own target attribute, so the library still runs on any
// x86-64 processor; callers reach these only after cpu_has_avx512f().
//
// Layout shared by all kernels: groups of four 16-lane chunks, one per
// accumulator (A, B, C, D), so that a 384-component vector's multiply-adds
// form four short chains instead of one long one (a search waits on each
// distance before it picks the next step); chunks after the last group go to
// A, B, C in turn, and the last partial chunk is read under a lane mask
// (masked lanes contribute exactly zero) into D. Each family's norm function and its
// known-norm form walk the same chunks in the same order as the full kernel,
// so together they give its bits.
#include "core/distance/simd.h"

#ifdef TESSARINE_HAVE_AVX2_KERNELS

// GCC 12's AVX-512 headers fill "don't care" operands from an undefined
// register, which -Wuninitialized reports at every use; nothing here reads one.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/distance/simd_constants.h"

#define TESSARINE_AVX512 __attribute__((target("avx512f,avx2,fma")))

namespace tessarine {
namespace {

constexpr __mmask16 kAllLanes = 0xFFFF;
constexpr int kAccumulators = 4;

// Calls step(offset, mask, accumulator) for every chunk of n components.
template <typename Step>
TESSARINE_AVX512 inline void walk_chunks(std::size_t n, Step step) {
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    step(i, kAllLanes, 0);
    step(i + 16, kAllLanes, 1);
    step(i + 32, kAllLanes, 2);
    step(i + 48, kAllLanes, 3);
  }
  // Accumulator numbers stay constants, so the accumulators stay in registers.
  if (i + 16 <= n) {
    step(i, kAllLanes, 0);
    i += 16;
  }
  if (i + 16 <= n) {
    step(i, kAllLanes, 1);
    i += 16;
  }
  if (i + 16 <= n) {
    step(i, kAllLanes, 2);
    i += 16;
  }
  if (i < n) step(i, static_cast<__mmask16>((1u << (n - i)) - 1), 3);
}

TESSARINE_AVX512 inline __m512 load(const float* p, __mmask16 mask) {
  return _mm512_maskz_loadu_ps(mask, p);
}

// Sixteen (or, under a partial mask, fewer) codes decoded: code * scale + min;
// masked lanes are zero.
TESSARINE_AVX512 inline __m512 decode16(const uint8_t* codes, __mmask16 mask, __m512 scale,
                                        __m512 min) {
  __m128i bytes;
  if (mask == kAllLanes) {
    bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
  } else {
    alignas(16) uint8_t tail[16] = {};
    std::memcpy(tail, codes, static_cast<std::size_t>(std::popcount(mask)));
    bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
  }
  const __m512 as_float = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
  return _mm512_maskz_fmadd_ps(mask, as_float, scale, min);
}

// (A + B) + (C + D), then the upper 256 bits onto the lower, and on as in the
// AVX2 file.
TESSARINE_AVX512 inline float reduce(const __m512 (&acc)[kAccumulators]) {
  const __m512 v = _mm512_add_ps(_mm512_add_ps(acc[0], acc[1]), _mm512_add_ps(acc[2], acc[3]));
  const __m512 halves = _mm512_add_ps(v, _mm512_shuffle_f32x4(v, v, 0x4E));
  const __m256 y = _mm512_castps512_ps256(halves);
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(y), _mm256_extractf128_ps(y, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_shuffle_ps(x, x, 0x55));
  return _mm_cvtss_f32(x);
}

// The 8-bit dot product, inlined into the kernels built on it: the search
// calls the cosine for every node it measures.
TESSARINE_AVX512 inline float dot_asym(std::span<const float> query, const QuantizedView& view) {
  const __m512 scale = _mm512_set1_ps(view.scale);
  const __m512 min = _mm512_set1_ps(view.min);
  __m512 acc[kAccumulators] = {};
  walk_chunks(query.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 x = decode16(view.codes.data() + i, m, scale, min);
    acc[k] = _mm512_fmadd_ps(x, load(query.data() + i, m), acc[k]);
  });
  return reduce(acc);
}

}  // namespace

TESSARINE_AVX512 float avx512_dot_product_f32(std::span<const float> a, std::span<const float> b) {
  __m512 acc[kAccumulators] = {};
  walk_chunks(a.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    acc[k] = _mm512_fmadd_ps(load(a.data() + i, m), load(b.data() + i, m), acc[k]);
  });
  return reduce(acc);
}

TESSARINE_AVX512 float avx512_euclidean_sq_f32(std::span<const float> a, std::span<const float> b) {
  __m512 acc[kAccumulators] = {};
  walk_chunks(a.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 d = _mm512_sub_ps(load(a.data() + i, m), load(b.data() + i, m));
    acc[k] = _mm512_fmadd_ps(d, d, acc[k]);
  });
  return reduce(acc);
}

TESSARINE_AVX512 float avx512_norm_sq_f32(std::span<const float> a) {
  __m512 acc[kAccumulators] = {};
  walk_chunks(a.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 x = load(a.data() + i, m);
    acc[k] = _mm512_fmadd_ps(x, x, acc[k]);
  });
  return reduce(acc);
}

// One pass; each of the three sums is accumulated exactly as the dot-product
// and norm kernels above accumulate it alone.
TESSARINE_AVX512 float avx512_cosine_f32(std::span<const float> a, std::span<const float> b) {
  __m512 dot[kAccumulators] = {};
  __m512 na[kAccumulators] = {};
  __m512 nb[kAccumulators] = {};
  walk_chunks(a.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 x = load(a.data() + i, m);
    const __m512 y = load(b.data() + i, m);
    dot[k] = _mm512_fmadd_ps(x, y, dot[k]);
    na[k] = _mm512_fmadd_ps(x, x, na[k]);
    nb[k] = _mm512_fmadd_ps(y, y, nb[k]);
  });
  return cosine_from_sums(reduce(dot), reduce(na), reduce(nb));
}

TESSARINE_AVX512 float avx512_cosine_known_norms_f32(std::span<const float> a,
                                                     std::span<const float> b, float na, float nb) {
  return cosine_from_sums(avx512_dot_product_f32(a, b), na, nb);
}

TESSARINE_AVX512 float avx512_dot_product_asym(std::span<const float> query,
                                               const QuantizedView& view) {
  return dot_asym(query, view);
}

TESSARINE_AVX512 float avx512_euclidean_sq_asym(std::span<const float> query,
                                                const QuantizedView& view) {
  const __m512 scale = _mm512_set1_ps(view.scale);
  const __m512 min = _mm512_set1_ps(view.min);
  __m512 acc[kAccumulators] = {};
  walk_chunks(query.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 d =
        _mm512_sub_ps(load(query.data() + i, m), decode16(view.codes.data() + i, m, scale, min));
    acc[k] = _mm512_fmadd_ps(d, d, acc[k]);
  });
  return reduce(acc);
}

TESSARINE_AVX512 float avx512_decoded_norm_sq(const QuantizedView& view) {
  const __m512 scale = _mm512_set1_ps(view.scale);
  const __m512 min = _mm512_set1_ps(view.min);
  __m512 acc[kAccumulators] = {};
  walk_chunks(view.codes.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 x = decode16(view.codes.data() + i, m, scale, min);
    acc[k] = _mm512_fmadd_ps(x, x, acc[k]);
  });
  return reduce(acc);
}

TESSARINE_AVX512 float avx512_cosine_asym_known_norm(std::span<const float> query,
                                                     const QuantizedView& view, float query_norm_sq,
                                                     double stored_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  return cosine_asym_from_sums(dot_asym(query, view), stored_norm_sq, query_norm_sq);
}

TESSARINE_AVX512 float avx512_cosine_asym_prenorm(std::span<const float> query,
                                                  const QuantizedView& view, float query_norm_sq) {
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 0.0f;
  const __m512 scale = _mm512_set1_ps(view.scale);
  const __m512 min = _mm512_set1_ps(view.min);
  __m512 dot[kAccumulators] = {};
  __m512 norm[kAccumulators] = {};
  walk_chunks(query.size(), [&](std::size_t i, __mmask16 m, int k) TESSARINE_AVX512 {
    const __m512 x = decode16(view.codes.data() + i, m, scale, min);
    dot[k] = _mm512_fmadd_ps(x, load(query.data() + i, m), dot[k]);
    norm[k] = _mm512_fmadd_ps(x, x, norm[k]);
  });
  return cosine_asym_from_sums(reduce(dot), reduce(norm), query_norm_sq);
}

}  // namespace tessarine

#endif  // TESSARINE_HAVE_AVX2_KERNELS
