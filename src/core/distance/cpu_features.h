// The processor features that select the vector kernels. The feature word is
// detected once per process (CPUID, with XGETBV confirming that the operating
// system saves the wide register state) and cached; later reads are a load
// and a bit test.
#pragma once

#include <cstdint>

namespace tessarine {

enum CpuFeatureBit : uint32_t {
  kCpuAvx2 = 1u << 0,
  kCpuFma = 1u << 1,
  kCpuAvx512f = 1u << 2,
  kCpuAvx512Vnni = 1u << 3,  // with AVX512BW: byte dot products
};

// The cached feature word (a combination of CpuFeatureBit).
uint32_t cpu_feature_word();

// True when the AVX2/FMA kernels may run on this machine.
inline bool cpu_has_avx2_fma() {
  const uint32_t want = kCpuAvx2 | kCpuFma;
  return (cpu_feature_word() & want) == want;
}

// True when the AVX-512 kernels may run on this machine.
inline bool cpu_has_avx512f() {
  const uint32_t want = kCpuAvx512f | kCpuAvx2 | kCpuFma;
  return (cpu_feature_word() & want) == want;
}

// True when the AVX-512 byte dot-product kernels may run on this machine.
inline bool cpu_has_avx512_vnni() {
  const uint32_t want = kCpuAvx512f | kCpuAvx512Vnni;
  return (cpu_feature_word() & want) == want;
}

// "avx512f", "avx2+fma" or "portable": which kernel family distance calls use.
const char* active_kernel_name();

}  // namespace tessarine
