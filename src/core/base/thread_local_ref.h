// Per-thread objects reached through one address lookup per call.
#pragma once

namespace tessarine {

// Returns `object` (a thread_local) through an address the compiler cannot
// recompute. In a shared library each access to a thread_local is a call to
// __tls_get_addr, and GCC, short of registers, recomputes such an address at
// each use instead of keeping it: the graph's inner loops made a dozen of
// those calls per visited node. An address passed through an empty asm is an
// ordinary value, computed once and kept like any other.
template <typename T>
T& thread_local_ref(T& object) {
  T* address = &object;
  asm("" : "+r"(address));
  return *address;
}

}  // namespace tessarine
