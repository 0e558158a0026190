// IEEE-754 total order for 32-bit floats (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN),
// used wherever distances or scores are sorted, so that NaNs cannot break a sort.
#pragma once

#include <bit>
#include <cstdint>

namespace tessarine {

inline int32_t total_order_key(float x) {
  const auto bits = std::bit_cast<int32_t>(x);
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

inline bool total_order_less(float a, float b) { return total_order_key(a) < total_order_key(b); }

}  // namespace tessarine
