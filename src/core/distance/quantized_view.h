// A borrowed view of one scalar-quantized stored vector: one byte per
// component, decoded as min + code * scale. The kernels read stored vectors
// through it; core/quantization makes the codes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessarine {

// A borrowed view of one stored quantized vector.
struct QuantizedView {
  std::span<const uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;

  // Writes min + codes[i] * scale (single precision) for each component that
  // fits in `out`.
  void decode_into(std::span<float> out) const;
  std::vector<float> decode() const;
};

}  // namespace tessarine
