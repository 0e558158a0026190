#include "core/distance/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tessarine {
namespace {

#if defined(__x86_64__) || defined(__i386__)
// XCR0 tells which register states the operating system saves on a context
// switch; reading it is only legal once CPUID reports OSXSAVE.
uint64_t read_xcr0() {
  uint32_t eax = 0;
  uint32_t edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<uint64_t>(edx) << 32) | eax;
}

uint32_t detect_features() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  const bool fma = (ecx & bit_FMA) != 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (!osxsave || !avx) return 0;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
  const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // plus opmask and ZMM state
  if (!ymm_saved) return 0;
  if (__get_cpuid_max(0, nullptr) < 7) return fma ? uint32_t{kCpuFma} : 0u;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  uint32_t word = 0;
  if (fma) word |= kCpuFma;
  if (ebx & bit_AVX2) word |= kCpuAvx2;
  if (zmm_saved && (ebx & bit_AVX512F)) word |= kCpuAvx512f;
  if (zmm_saved && (ebx & bit_AVX512BW) && (ecx & bit_AVX512VNNI)) word |= kCpuAvx512Vnni;
  return word;
}
#else
uint32_t detect_features() { return 0; }
#endif

}  // namespace

uint32_t cpu_feature_word() {
  static const uint32_t word = detect_features();
  return word;
}

const char* active_kernel_name() {
  if (cpu_has_avx512f()) return "avx512f";
  return cpu_has_avx2_fma() ? "avx2+fma" : "portable";
}

}  // namespace tessarine
