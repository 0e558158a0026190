#include "core/hnsw/level.h"

#include <bit>
#include <cmath>

#include "core/base/fatal.h"
#include "core/base/thread_local_ref.h"

namespace tessarine {
namespace {

// xoshiro256**: fast, 256 bits of state, passes the usual statistical tests.
// Level draws only need good uniformity, not unpredictability.
class Xoshiro256 {
 public:
  Xoshiro256() {
    do {
      fill_random_bytes(state_, sizeof(state_), "graph level generator");
    } while ((state_[0] | state_[1] | state_[2] | state_[3]) == 0);  // all-zero never moves
  }

  uint64_t next() {
    const uint64_t result = std::rotl(state_[1] * 5, 7) * 9;
    const uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = std::rotl(state_[3], 45);
    return result;
  }

 private:
  uint64_t state_[4];
};

}  // namespace

uint64_t thread_random_u64() {
  thread_local Xoshiro256 generator;
  return thread_local_ref(generator).next();
}

uint64_t level_for_uniform(double u, uint64_t m, uint64_t level_cap) {
  const uint64_t top = effective_layer_count(level_cap) - 1;
  const double ml = -1.0 / std::log(static_cast<double>(m));
  const double level = std::floor(std::log(u) * ml);
  if (!(level > 0.0)) return 0;                       // negative, zero or NaN
  if (level >= static_cast<double>(top)) return top;  // also +inf
  return static_cast<uint64_t>(level);
}

uint64_t random_level(uint64_t m, uint64_t level_cap) {
  const double u = static_cast<double>(thread_random_u64() >> 11) * 0x1p-53;
  return level_for_uniform(u, m, level_cap);
}

}  // namespace tessarine
