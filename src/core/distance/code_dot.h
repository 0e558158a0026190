// Integer sums over one-byte codes: the exact dot product of two code
// vectors, and a vector's sum and sum of squares. They are exact in every
// path (portable, AVX2, AVX-512 VNNI), so every path gives the same result.
#pragma once

#include <cstdint>
#include <span>

namespace tessarine {

// Sum of a[i] * b[i] over the common length.
uint64_t code_dot(std::span<const uint8_t> a, std::span<const uint8_t> b);

// The widest path of code_dot this machine runs, for callers in a loop.
using CodeDotKernel = uint64_t (*)(std::span<const uint8_t>, std::span<const uint8_t>);
CodeDotKernel code_dot_kernel();

struct CodeSums {
  uint64_t sum = 0;     // sum of codes
  uint64_t sum_sq = 0;  // sum of squared codes
};
CodeSums code_sums(std::span<const uint8_t> codes);

// The paths behind code_dot, for tests and benchmarks. The AVX2 form may only
// be called when cpu_has_avx2_fma() holds, the VNNI form when
// cpu_has_avx512_vnni() does.
uint64_t code_dot_portable(std::span<const uint8_t> a, std::span<const uint8_t> b);
uint64_t code_dot_avx2(std::span<const uint8_t> a, std::span<const uint8_t> b);
uint64_t code_dot_avx512_vnni(std::span<const uint8_t> a, std::span<const uint8_t> b);

}  // namespace tessarine
