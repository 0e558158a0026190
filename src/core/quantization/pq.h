// Product quantization: a vector cut into num_subspaces slices, each replaced
// by the index of its nearest of 256 centroids. Field order is the persisted
// order.
#pragma once

#include <cstdint>
#include <vector>

namespace tessarine {

struct PqCodebook {
  uint64_t num_subspaces = 0;
  uint64_t num_centroids = 0;
  uint64_t subspace_dim = 0;
  // Subspace-major: centroid c of subspace s starts at (s * num_centroids + c) * subspace_dim.
  std::vector<float> centroids;

  friend bool operator==(const PqCodebook&, const PqCodebook&) = default;
};

}  // namespace tessarine
