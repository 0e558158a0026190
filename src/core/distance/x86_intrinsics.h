// The x86 SIMD intrinsics for files whose functions carry their own target
// attributes. Defines TESSARINE_X86_INTRINSICS where they exist.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#define TESSARINE_X86_INTRINSICS 1
#include <immintrin.h>
#endif

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 headers fill "don't care" operands from an undefined
// register, which -Wuninitialized reports at every use; nothing here reads one.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
