#include "core/distance/quantized_view.h"

#include <algorithm>

namespace tessarine {

void QuantizedView::decode_into(std::span<float> out) const {
  const std::size_t n = std::min(codes.size(), out.size());
  const uint8_t* in = codes.data();
  float* dst = out.data();
  for (std::size_t i = 0; i < n; ++i) dst[i] = min + static_cast<float>(in[i]) * scale;
}

std::vector<float> QuantizedView::decode() const {
  std::vector<float> out(codes.size());
  decode_into(out);
  return out;
}

}  // namespace tessarine
