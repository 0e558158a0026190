#include "core/quantization/pq.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/base/fatal.h"

namespace tessarine {
namespace {

constexpr uint64_t kCentroids = 256;
constexpr int kLloydIterations = 20;
constexpr float kLargestFloat = std::numeric_limits<float>::max();

uint64_t xorshift_step(uint64_t x) {
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

// Fixed for the life of the process (so training is repeatable within it),
// different between processes through the address of a static object.
uint64_t training_seed() {
  static const char anchor = 0;
  static const uint64_t seed =
      xorshift_step(0x517CC1B727220A95ull ^ reinterpret_cast<uintptr_t>(&anchor));
  return seed;
}

float squared_distance(const float* a, const float* b, uint64_t n) {
  float sum = 0.0f;
  for (uint64_t j = 0; j < n; ++j) {
    const float d = a[j] - b[j];
    sum += d * d;
  }
  return sum;
}

// Index of the centroid nearest to `slice`: a later centroid wins only when
// strictly closer, so ties go to the lower index and NaN distances never win.
uint64_t nearest_centroid(const float* slice, const float* centroids, uint64_t count,
                          uint64_t dim) {
  float best = kLargestFloat;
  uint64_t best_index = 0;
  for (uint64_t c = 0; c < count; ++c) {
    const float d = squared_distance(slice, centroids + c * dim, dim);
    if (d < best) {
      best = d;
      best_index = c;
    }
  }
  return best_index;
}

// k-means++ seeding followed by exactly 20 Lloyd iterations over n > 256
// slices of `dim` components; writes 256 centroids to `out`.
void train_subspace(const std::vector<float>& slices, uint64_t n, uint64_t dim, float* out) {
  uint64_t x = training_seed();
  std::copy_n(slices.data() + (x % n) * dim, dim, out);

  std::vector<float> nearest(n, kLargestFloat);
  for (uint64_t c = 1; c < kCentroids; ++c) {
    const float* previous = out + (c - 1) * dim;
    double total = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
      nearest[i] = std::min(nearest[i], squared_distance(slices.data() + i * dim, previous, dim));
      total += nearest[i];
    }
    x = xorshift_step(x);
    uint64_t chosen = n - 1;
    if (total < 1e-30) {
      chosen = x % n;
    } else {
      const double target = static_cast<double>(x >> 11) * 0x1p-53 * total;
      double running = 0.0;
      for (uint64_t i = 0; i < n; ++i) {
        running += nearest[i];
        if (running >= target) {
          chosen = i;
          break;
        }
      }
    }
    std::copy_n(slices.data() + chosen * dim, dim, out + c * dim);
  }

  std::vector<uint32_t> assignment(n);
  std::vector<uint32_t> members(kCentroids);
  for (int iteration = 0; iteration < kLloydIterations; ++iteration) {
    for (uint64_t i = 0; i < n; ++i) {
      assignment[i] =
          static_cast<uint32_t>(nearest_centroid(slices.data() + i * dim, out, kCentroids, dim));
    }
    std::fill_n(out, kCentroids * dim, 0.0f);
    std::fill(members.begin(), members.end(), 0);
    for (uint64_t i = 0; i < n; ++i) {
      float* centroid = out + uint64_t{assignment[i]} * dim;
      const float* slice = slices.data() + i * dim;
      for (uint64_t j = 0; j < dim; ++j) centroid[j] += slice[j];
      ++members[assignment[i]];
    }
    for (uint64_t c = 0; c < kCentroids; ++c) {
      if (members[c] == 0) continue;  // an empty cluster stays the zero vector
      const float inverse = 1.0f / static_cast<float>(members[c]);
      for (uint64_t j = 0; j < dim; ++j) out[c * dim + j] *= inverse;
    }
  }
}

}  // namespace

Result<PqCodebook> PqCodebook::train(std::span<const float> vectors, uint64_t dimension,
                                     uint64_t num_subspaces) {
  if (num_subspaces == 0) return Status::InvalidArgument("num_subspaces must be at least 1");
  if (dimension == 0) return Status::InvalidArgument("dimension must be at least 1");
  if (dimension % num_subspaces != 0) {
    return Status::InvalidArgument("dimension must be divisible by num_subspaces");
  }
  const uint64_t n = vectors.size() / dimension;
  if (n == 0) return Status::InvalidArgument("need at least one vector to train PQ");

  PqCodebook book;
  book.num_subspaces = num_subspaces;
  book.num_centroids = kCentroids;
  book.subspace_dim = dimension / num_subspaces;
  const uint64_t dim = book.subspace_dim;
  // dimension * 256 floats: bounded by the input itself when n >= 256, and by
  // 256 vectors' worth otherwise.
  book.centroids.assign(num_subspaces * kCentroids * dim, 0.0f);

  std::vector<float> slices(n * dim);
  for (uint64_t s = 0; s < num_subspaces; ++s) {
    for (uint64_t i = 0; i < n; ++i) {
      std::copy_n(vectors.data() + i * dimension + s * dim, dim, slices.data() + i * dim);
    }
    float* out = book.centroids.data() + s * kCentroids * dim;
    if (n <= kCentroids) {
      std::copy_n(slices.data(), n * dim, out);
    } else {
      train_subspace(slices, n, dim, out);
    }
  }
  return book;
}

bool PqCodebook::is_consistent() const {
  if (num_centroids > kCentroids) return false;
  if (num_subspaces != 0 && subspace_dim > std::numeric_limits<uint64_t>::max() / num_subspaces) {
    return false;
  }
  const uint64_t per_subspace = num_centroids * subspace_dim;  // <= 256 * subspace_dim
  if (subspace_dim != 0 && per_subspace / subspace_dim != num_centroids) return false;
  if (num_subspaces != 0 && per_subspace > std::numeric_limits<uint64_t>::max() / num_subspaces) {
    return false;
  }
  return centroids.size() == num_subspaces * per_subspace;
}

void PqCodebook::encode_into(std::span<const float> v, uint8_t* out) const {
  if (!is_consistent() || v.size() < dimension()) fatal("PQ encoding with a mismatched codebook");
  for (uint64_t s = 0; s < num_subspaces; ++s) {
    const float* centroids_s = centroids.data() + s * num_centroids * subspace_dim;
    out[s] = static_cast<uint8_t>(
        nearest_centroid(v.data() + s * subspace_dim, centroids_s, num_centroids, subspace_dim));
  }
}

std::vector<uint8_t> PqCodebook::encode(std::span<const float> v) const {
  std::vector<uint8_t> codes(num_subspaces);
  encode_into(v, codes.data());
  return codes;
}

std::vector<uint8_t> PqCodebook::encode_batch(std::span<const float> vectors,
                                              uint64_t dimension) const {
  if (dimension == 0) return {};
  if (dimension < this->dimension()) fatal("PQ encoding with a mismatched codebook");
  const uint64_t n = vectors.size() / dimension;
  std::vector<uint8_t> codes(n * num_subspaces);
  for (uint64_t i = 0; i < n; ++i) {
    encode_into(vectors.subspan(i * dimension, dimension), codes.data() + i * num_subspaces);
  }
  return codes;
}

PqDistanceTable PqCodebook::build_distance_table(std::span<const float> query,
                                                 DistanceMetric metric) const {
  if (!is_consistent() || query.size() < dimension()) {
    fatal("PQ distance table with a mismatched codebook");
  }
  PqDistanceTable table;
  table.num_subspaces = num_subspaces;
  // Codes past num_centroids cannot come from encode; they look infinitely far.
  table.values.assign(num_subspaces * PqDistanceTable::kStride,
                      std::numeric_limits<float>::infinity());
  for (uint64_t s = 0; s < num_subspaces; ++s) {
    const float* q = query.data() + s * subspace_dim;
    float* row = table.values.data() + s * PqDistanceTable::kStride;
    for (uint64_t c = 0; c < num_centroids; ++c) {
      const float* centroid = centroids.data() + (s * num_centroids + c) * subspace_dim;
      if (metric == DistanceMetric::Euclidean) {
        row[c] = squared_distance(q, centroid, subspace_dim);
      } else {
        float dot = 0.0f;
        for (uint64_t j = 0; j < subspace_dim; ++j) dot += q[j] * centroid[j];
        row[c] = -dot;
      }
    }
  }
  return table;
}

}  // namespace tessarine
