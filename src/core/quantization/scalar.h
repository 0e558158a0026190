// Per-vector scalar quantization: one byte per component plus a minimum and
// a step. Component i decodes to min + codes[i] * scale.
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
};

struct QuantizedVector {
  std::vector<uint8_t> codes;
  float min = 0.0f;
  float max = 0.0f;
  float scale = 0.0f;

  static QuantizedVector quantize(std::span<const float> v);

  QuantizedView view() const { return {codes, min, scale}; }
};

}  // namespace tessarine
