// A hint to bring the cache line holding an address closer before it is read.
#pragma once

namespace tessarine {

// An asm statement rather than a bare __builtin_prefetch: GCC judges a helper
// made only of __builtin_prefetch calls free of side effects and deletes the
// calls to it before inlining them, so such a hint never runs. A volatile asm
// is kept wherever it is written. The address is only named, never read.
inline void prefetch_line(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 (%0)" : : "r"(address));
#else
  __builtin_prefetch(address);
  asm volatile("" : : "r"(address));
#endif
}

}  // namespace tessarine
