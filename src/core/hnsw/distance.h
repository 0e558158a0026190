// The collection's distance metric. A distance is a 32-bit float for which
// smaller means closer, whatever the metric.
#pragma once

#include <cstdint>

namespace tessarine {

// The enumerator value is the persisted variant index.
enum class DistanceMetric : uint8_t {
  Cosine = 0,      // 1 - cosine similarity
  Euclidean = 1,   // squared Euclidean distance
  DotProduct = 2,  // -(dot product)
};

}  // namespace tessarine
