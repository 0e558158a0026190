#include "core/quantization/scalar.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace tessarine {
namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();
constexpr float kFloatEpsilon = std::numeric_limits<float>::epsilon();  // 2^-23
// The largest value below one half: adding it (with t's sign) and truncating
// rounds halves away from zero without rounding values just below one half up.
template <typename T>
constexpr T kJustBelowHalf = T{0.5} - std::numeric_limits<T>::epsilon() / 4;

// Rounds t to the nearest code, halves away from zero, clamped to [0, 255].
// NaN (from infinite components) maps to 0: no value reaches an integer
// conversion outside the byte range.
template <typename T>
inline uint8_t round_to_code(T t) {
  const T r = t + std::copysign(kJustBelowHalf<T>, t);
  if (!(r >= T{1})) return 0;  // also catches NaN
  if (r >= T{255}) return 255;
  return static_cast<uint8_t>(static_cast<int>(r));
}

}  // namespace

QuantizedVector QuantizedVector::quantize(std::span<const float> v) {
  QuantizedVector out;
  if (v.empty()) return out;
  float lo = kLargestFloat;
  float hi = -kLargestFloat;
  for (float x : v) {  // NaN components compare false and are skipped
    if (x < lo) lo = x;
    if (x > hi) hi = x;
  }
  out.min = lo;
  out.max = hi;
  out.codes.resize(v.size());
  const float range = hi - lo;
  if (!(range >= kFloatEpsilon)) {  // constant vector (or nothing but NaN)
    for (auto& code : out.codes) code = 128;
    out.scale = 0.0f;
    return out;
  }
  if (std::isinf(range) && std::isfinite(lo) && std::isfinite(hi)) {
    // Finite extremes whose difference overflows single precision: work in
    // double so that the step stays finite and the codes meaningful.
    const double wide_range = static_cast<double>(hi) - static_cast<double>(lo);
    const double inv = 255.0 / wide_range;
    for (std::size_t i = 0; i < v.size(); ++i) {
      const double t = (static_cast<double>(v[i]) - lo) * inv;
      out.codes[i] = round_to_code(t);
    }
    out.scale = static_cast<float>(wide_range / 255.0);
    return out;
  }
  const float inv = 255.0f / range;
  for (std::size_t i = 0; i < v.size(); ++i) {
    out.codes[i] = round_to_code((v[i] - lo) * inv);
  }
  out.scale = range / 255.0f;
  return out;
}

}  // namespace tessarine
