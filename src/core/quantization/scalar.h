// Per-vector scalar quantization: one byte per component plus a minimum and
// a step. Component i decodes to min + codes[i] * scale.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/distance/quantized_view.h"

namespace tessarine {

struct QuantizedVector {
  std::vector<uint8_t> codes;
  float min = 0.0f;
  float max = 0.0f;
  float scale = 0.0f;

  // Never fails. Codes are round((x - min) * 255 / (max - min)), halves away
  // from zero, clamped to [0, 255]; a constant vector (range below the f32
  // epsilon) gets code 128 everywhere and scale 0. NaN components are skipped
  // by the min/max scan and get code 0; infinite ranges never cause undefined
  // behaviour.
  static QuantizedVector quantize(std::span<const float> v);

  QuantizedView view() const { return {codes, min, scale}; }
};

}  // namespace tessarine
