// Fixtures shared by the graph tests: seeded data, index building and a
// brute-force reference.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "core/base/float_order.h"
#include "core/distance/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "core/quantization/scalar.h"

namespace tessarine::testing_util {

// n vectors of `dim` components, back to back, uniform in [-1, 1).
inline std::vector<float> random_data(uint32_t seed, std::size_t n, std::size_t dim) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> data(n * dim);
  for (auto& x : data) x = dist(rng);
  return data;
}

inline std::span<const float> row(const std::vector<float>& data, std::size_t dim, std::size_t i) {
  return std::span<const float>(data).subspan(i * dim, dim);
}

inline HnswConfig make_config(DistanceMetric metric, bool raw, uint64_t m = 16,
                              uint64_t ef_construction = 100, uint64_t ef_search = 50) {
  HnswConfig config;
  config.m = m;
  config.m_max0 = 2 * m;
  config.ef_construction = ef_construction;
  config.ef_search = ef_search;
  config.distance_metric = metric;
  config.store_raw_vectors = raw;
  return config;
}

inline HnswIndex build_index(const HnswConfig& config, const std::vector<float>& data,
                             std::size_t dim) {
  HnswIndex index(config, dim);
  const std::size_t n = data.size() / dim;
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = row(data, dim, i);
    index.insert(static_cast<uint32_t>(i), v, QuantizedVector::quantize(v));
  }
  return index;
}

// The true k nearest live nodes that pass `passes`, by exact distance to the
// original vectors.
inline std::vector<uint32_t> brute_force(const std::vector<float>& data, std::size_t dim,
                                         DistanceMetric metric, std::span<const float> query,
                                         std::size_t k,
                                         const std::function<bool(uint32_t)>& passes) {
  std::vector<std::pair<float, uint32_t>> all;
  for (uint32_t i = 0; i < data.size() / dim; ++i) {
    if (passes(i)) all.emplace_back(distance_exact(metric, query, row(data, dim, i)), i);
  }
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return total_order_less(a.first, b.first); });
  std::vector<uint32_t> ids;
  for (std::size_t i = 0; i < all.size() && i < k; ++i) ids.push_back(all[i].second);
  return ids;
}

// Fraction of `truth` found in `found`.
inline double overlap(const std::vector<DistanceId>& found, const std::vector<uint32_t>& truth) {
  if (truth.empty()) return 1.0;
  std::set<uint32_t> ids;
  for (const auto& [d, id] : found) ids.insert(id);
  std::size_t hits = 0;
  for (uint32_t id : truth) hits += ids.count(id);
  return static_cast<double>(hits) / truth.size();
}

inline bool ascending(const std::vector<DistanceId>& results) {
  return std::is_sorted(results.begin(), results.end(), [](const auto& a, const auto& b) {
    return total_order_less(a.first, b.first);
  });
}

}  // namespace tessarine::testing_util
