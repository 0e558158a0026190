// Random level assignment for new graph nodes: level = floor(-ln(u) / ln(m))
// for u uniform in [0, 1), so a node reaches level >= 1 with probability 1/m.
#pragma once

#include <cstdint>

namespace tessarine {

// Levels are stored in one byte per node, so at most this many layers exist
// whatever the configured level_cap.
inline constexpr uint64_t kMaxLayers = 256;

// The number of layers a configuration allows: level_cap, at least 1 (a cap of
// 0 means one layer) and at most kMaxLayers.
inline uint64_t effective_layer_count(uint64_t level_cap) {
  if (level_cap == 0) return 1;
  return level_cap < kMaxLayers ? level_cap : kMaxLayers;
}

// The level for a given u in [0, 1): saturating conversion (negative or NaN
// to 0, +inf and huge values to the top), capped at the top layer. m = 1
// (ln 1 = 0) always gives the top level; m = 0 gives level 0.
uint64_t level_for_uniform(double u, uint64_t m, uint64_t level_cap);

// One draw from this thread's generator (seeded from the operating system's
// entropy source on first use).
uint64_t random_level(uint64_t m, uint64_t level_cap);

// The next 64-bit value of this thread's generator.
uint64_t thread_random_u64();

}  // namespace tessarine
