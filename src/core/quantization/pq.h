// Product quantization: a vector cut into num_subspaces slices, each replaced
// by the index of its nearest of 256 centroids. Field order is the persisted
// order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/base/status.h"
#include "core/distance/distance.h"

namespace tessarine {

// Per-query lookup table: entry s * kStride + c is the distance contribution
// of centroid c in subspace s. The stride is always 256 (one entry per
// possible code byte), so any code indexes inside the table.
struct PqDistanceTable {
  static constexpr uint64_t kStride = 256;
  std::vector<float> values;  // num_subspaces * kStride
  uint64_t num_subspaces = 0;

  // Sum over s of values[s * 256 + codes[s]], in single precision in order of
  // s; `codes` holds num_subspaces bytes.
  float lookup(const uint8_t* codes) const {
    float sum = 0.0f;
    const float* row = values.data();
    for (uint64_t s = 0; s < num_subspaces; ++s, row += kStride) sum += row[codes[s]];
    return sum;
  }
};

struct PqCodebook {
  uint64_t num_subspaces = 0;
  uint64_t num_centroids = 0;
  uint64_t subspace_dim = 0;
  // Subspace-major: centroid c of subspace s starts at (s * num_centroids + c) * subspace_dim.
  std::vector<float> centroids;

  friend bool operator==(const PqCodebook&, const PqCodebook&) = default;

  // Learns 256 centroids per subspace from n = vectors.size() / dimension
  // vectors laid back to back: with at most 256 vectors their own slices are
  // the centroids (the rest stay zero); otherwise k-means++ seeding and
  // exactly 20 Lloyd iterations. Repeatable within a process. Fails when
  // num_subspaces or dimension is 0, when dimension is not a multiple of
  // num_subspaces, or when there is not one whole vector.
  static Result<PqCodebook> train(std::span<const float> vectors, uint64_t dimension,
                                  uint64_t num_subspaces);

  // True when the fields agree with each other (centroid count, at most 256
  // centroids so that every code fits a byte); every method below requires it.
  bool is_consistent() const;

  uint64_t dimension() const { return num_subspaces * subspace_dim; }

  // The num_subspaces code bytes of `v` (at least dimension() components):
  // per subspace the centroid nearest by squared Euclidean distance, the
  // lower index on ties, 0 when every distance is NaN.
  std::vector<uint8_t> encode(std::span<const float> v) const;
  void encode_into(std::span<const float> v, uint8_t* out) const;

  // The codes of every whole vector in `vectors`, concatenated in order.
  std::vector<uint8_t> encode_batch(std::span<const float> vectors, uint64_t dimension) const;

  // Euclidean: per-slice squared distance to each centroid; Cosine and
  // DotProduct: the negated partial dot product (not normalised).
  PqDistanceTable build_distance_table(std::span<const float> query, DistanceMetric metric) const;
};

}  // namespace tessarine
