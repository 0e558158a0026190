#include "core/distance/code_dot.h"

#include <algorithm>
#include <cstddef>

#include "core/distance/cpu_features.h"
#include "core/distance/x86_intrinsics.h"

namespace tessarine {
namespace {

// 32-bit lanes are emptied into the 64-bit total after this many bytes, so
// neither a lane nor the sum of a register's lanes can overflow (as signed
// 32-bit integers) however long the vectors are: the products of 64 bytes
// add at most 64 * 255 * 255.
constexpr std::size_t kBytesPerFlush = 64 * 256;

}  // namespace

uint64_t code_dot_portable(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  uint64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) total += uint32_t{a[i]} * b[i];
  return total;
}

#ifdef TESSARINE_X86_INTRINSICS

__attribute__((target("avx2"))) uint64_t code_dot_avx2(std::span<const uint8_t> a,
                                                       std::span<const uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  uint64_t total = 0;
  std::size_t i = 0;
  while (i + 16 <= n) {
    const std::size_t end = std::min(n - n % 16, i + kBytesPerFlush);
    __m256i acc = _mm256_setzero_si256();
    for (; i < end; i += 16) {
      // Bytes widened to 16 bits; madd adds adjacent products into 32 bits.
      const __m256i x =
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&a[i])));
      const __m256i y =
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&b[i])));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(x, y));
    }
    alignas(32) uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    for (uint32_t lane : lanes) total += lane;
  }
  for (; i < n; ++i) total += uint32_t{a[i]} * b[i];
  return total;
}

__attribute__((target("avx512f,avx512bw,avx512vnni"))) uint64_t code_dot_avx512_vnni(
    std::span<const uint8_t> a, std::span<const uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  // vpdpbusd multiplies unsigned bytes by signed ones. With b read as
  // b - 128, a second product with -128 gives the correction:
  // sum(a * b) = sum(a * (b - 128)) - sum(a * -128), lane by lane.
  const __m512i minus_128 = _mm512_set1_epi8(static_cast<char>(0x80));
  uint64_t total = 0;
  std::size_t i = 0;
  while (i < n) {
    const std::size_t end = std::min(n, i + kBytesPerFlush);
    // Two sets of sums, for alternate chunks, halve the chain of dependent
    // instructions the result waits for.
    __m512i shifted[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
    __m512i correction[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
    const auto step = [&](int set, __m512i x, __m512i y)
        __attribute__((target("avx512f,avx512bw,avx512vnni"))) {
      shifted[set] = _mm512_dpbusd_epi32(shifted[set], x, _mm512_xor_si512(y, minus_128));
      correction[set] = _mm512_dpbusd_epi32(correction[set], x, minus_128);
    };
    for (; i + 128 <= end; i += 128) {
      step(0, _mm512_loadu_si512(&a[i]), _mm512_loadu_si512(&b[i]));
      step(1, _mm512_loadu_si512(&a[i + 64]), _mm512_loadu_si512(&b[i + 64]));
    }
    if (i + 64 <= end) {
      step(0, _mm512_loadu_si512(&a[i]), _mm512_loadu_si512(&b[i]));
      i += 64;
    }
    if (i < end) {
      // The last partial chunk is read under a mask: its missing bytes are 0
      // in a, so they add nothing to either sum.
      const __mmask64 mask = (__mmask64{1} << (end - i)) - 1;
      step(1, _mm512_maskz_loadu_epi8(mask, &a[i]), _mm512_maskz_loadu_epi8(mask, &b[i]));
      i = end;
    }
    // Each lane now holds a sum of products of bytes, and all 16 of both sets
    // together stay below 2^31.
    const __m512i sums = _mm512_add_epi32(_mm512_sub_epi32(shifted[0], correction[0]),
                                          _mm512_sub_epi32(shifted[1], correction[1]));
    total += static_cast<uint32_t>(_mm512_reduce_add_epi32(sums));
  }
  return total;
}

#else

uint64_t code_dot_avx2(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return code_dot_portable(a, b);
}
uint64_t code_dot_avx512_vnni(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return code_dot_portable(a, b);
}

#endif

CodeDotKernel code_dot_kernel() {
  if (cpu_has_avx512_vnni()) return code_dot_avx512_vnni;
  if (cpu_has_avx2_fma()) return code_dot_avx2;
  return code_dot_portable;
}

uint64_t code_dot(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return code_dot_kernel()(a, b);
}

namespace {

// The sum of the codes: 32-bit partial sums (which a compiler widens and adds
// many at a time) over blocks short enough not to overflow them.
uint64_t code_sum(std::span<const uint8_t> codes) {
  constexpr std::size_t kBlock = std::size_t{1} << 24;  // 255 * 2^24 < 2^32
  uint64_t total = 0;
  for (std::size_t start = 0; start < codes.size(); start += kBlock) {
    const std::size_t end = std::min(codes.size(), start + kBlock);
    uint32_t block = 0;
    for (std::size_t i = start; i < end; ++i) block += codes[i];
    total += block;
  }
  return total;
}

}  // namespace

CodeSums code_sums(std::span<const uint8_t> codes) {
  CodeSums sums;
  sums.sum = code_sum(codes);
  sums.sum_sq = code_dot(codes, codes);
  return sums;
}

}  // namespace tessarine
