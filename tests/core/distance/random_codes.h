// Random one-byte codes for the distance tests.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace tessarine::testing {

// n codes drawn uniformly from 0-255.
inline std::vector<uint8_t> random_codes(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<int> dist(0, 255);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(dist(rng));
  return v;
}

}  // namespace tessarine::testing
