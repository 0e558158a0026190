#include "core/hnsw/search.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "core/fatal.h"
#include "core/float_order.h"
#include "core/hnsw/beam_search.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/level.h"
#include "core/quantization/simd.h"

namespace tessarine {
namespace {

using beam_detail::beam_search;

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<uint64_t>::max();
  return product;
}

// Distance without the PQ table: the one results are ranked by.
float rescore_distance(const HnswIndex& index, std::span<const float> query, uint32_t id,
                       float query_norm_sq) {
  return compute_distance(index, query, id, nullptr, query_norm_sq);
}

void rescore(const HnswIndex& index, std::span<const float> query, float query_norm_sq,
             std::vector<DistanceId>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (index.has_raw_vectors() && i + 1 < entries.size()) {
      beam_detail::prefetch_node(index, entries[i + 1].second, nullptr);
    }
    entries[i].first = rescore_distance(index, query, entries[i].second, query_norm_sq);
  }
}

// The state every search prepares once: the query's sum of squares and, when
// the index has a usable codebook, the query's PQ table.
struct QueryContext {
  std::span<const float> query;
  float norm_sq = 0.0f;
  std::optional<PqDistanceTable> table;

  const PqDistanceTable* table_ptr() const { return table ? &*table : nullptr; }
};

QueryContext prepare_query(const HnswIndex& index, std::span<const float> query) {
  if (query.size() != index.dimension) fatal("query length differs from the index dimension");
  QueryContext context{query, sum_of_squares(query), std::nullopt};
  if (index.pq_codebook && index.pq_codebook->is_consistent() &&
      index.pq_codebook->dimension() == index.dimension) {
    context.table = index.pq_codebook->build_distance_table(query, index.config.distance_metric);
  }
  return context;
}

// Greedy descent from the entry point through layers max_level .. 1 with a
// beam of one; a layer that yields no live node leaves the position as is.
uint32_t descend_to_layer0(const HnswIndex& index, const QueryContext& q, VisitedSet& visited) {
  uint32_t ep = *index.entry_point;
  const auto live = [&](uint32_t id) { return !index.is_deleted(id); };
  const uint64_t top = std::min<uint64_t>(index.max_level, kMaxLayers - 1);
  for (uint64_t layer = top; layer >= 1; --layer) {
    const uint32_t entry[] = {ep};
    const auto found =
        beam_search(index, q.query, entry, q.norm_sq, 1, layer, visited, q.table_ptr(), live);
    if (!found.empty()) ep = found.front().second;
  }
  return ep;
}

// Keeps the k closest of `entries` (already rescored), ascending.
std::vector<DistanceId> finish(std::vector<DistanceId> entries, uint64_t k) {
  if (entries.size() > k) {
    const auto closer = [](const DistanceId& a, const DistanceId& b) {
      return total_order_key(a.first) < total_order_key(b.first);
    };
    std::nth_element(entries.begin(), entries.begin() + k, entries.end(), closer);
    entries.resize(static_cast<std::size_t>(k));
  }
  sort_by_distance(entries);
  return entries;
}

}  // namespace

float compute_distance(const HnswIndex& index, std::span<const float> query, uint32_t id,
                       const PqDistanceTable* table, float query_norm_sq) {
  if (table != nullptr) {
    const std::size_t m = table->num_subspaces;
    const std::size_t start = std::size_t{id} * m;
    if (start + m <= index.pq_codes.size()) return table->lookup(index.pq_codes.data() + start);
  }
  if (index.has_raw_vectors()) {
    return distance_exact(index.config.distance_metric, query, index.raw_vector(id));
  }
  return distance_asym_prenorm(index.config.distance_metric, query, index.quantized_view(id),
                               query_norm_sq);
}

void sort_by_distance(std::vector<DistanceId>& entries) {
  std::sort(entries.begin(), entries.end(), [](const DistanceId& a, const DistanceId& b) {
    return total_order_key(a.first) < total_order_key(b.first);
  });
}

std::vector<DistanceId> search_layer(const HnswIndex& index, std::span<const float> query,
                                     std::span<const uint32_t> entry_points, float query_norm_sq,
                                     uint64_t ef, uint64_t layer, VisitedSet& visited) {
  const auto live = [&](uint32_t id) { return !index.is_deleted(id); };
  return beam_search(index, query, entry_points, query_norm_sq, ef, layer, visited, nullptr, live);
}

std::vector<DistanceId> knn_search(const HnswIndex& index, std::span<const float> query,
                                   uint64_t k) {
  if (!index.entry_point || k == 0) return {};
  VisitedLease lease(search_visited());
  VisitedSet& visited = lease.get();
  visited.reserve(index.node_count);
  const QueryContext q = prepare_query(index, query);
  const uint32_t ep = descend_to_layer0(index, q, visited);

  const auto live = [&](uint32_t id) { return !index.is_deleted(id); };
  uint64_t ef = std::max(index.config.ef_search, k);
  const uint64_t cap = std::min<uint64_t>(saturating_mul(ef, 4), index.node_count);
  const uint32_t entry[] = {ep};
  std::vector<DistanceId> found =
      beam_search(index, query, entry, q.norm_sq, ef, 0, visited, q.table_ptr(), live);
  // Tombstones near the query can leave fewer than k live results: widen.
  while (found.size() < k && ef < cap) {
    ef = std::min(cap, saturating_mul(ef, 2));
    found = beam_search(index, query, entry, q.norm_sq, ef, 0, visited, q.table_ptr(), live);
  }
  rescore(index, query, q.norm_sq, found);
  return finish(std::move(found), k);
}

std::vector<DistanceId> knn_search_filtered(const HnswIndex& index, std::span<const float> query,
                                            uint64_t k, absl::FunctionRef<bool(uint32_t)> passes) {
  if (!index.entry_point || k == 0) return {};
  VisitedLease lease(search_visited());
  VisitedSet& visited = lease.get();
  visited.reserve(index.node_count);
  const QueryContext q = prepare_query(index, query);
  const uint32_t ep = descend_to_layer0(index, q, visited);

  const auto accepts = [&](uint32_t id) { return !index.is_deleted(id) && passes(id); };
  uint64_t ef = std::max(index.config.ef_search, k);
  const uint64_t limit = std::min<uint64_t>(saturating_mul(ef, 4), index.node_count);
  const uint32_t entry[] = {ep};
  uint64_t visits = 0;
  std::vector<DistanceId> found = beam_search(index, query, entry, q.norm_sq, ef, 0, visited,
                                              q.table_ptr(), accepts, &visits);
  while (found.size() < k && ef < limit) {
    ef = std::min(limit, saturating_mul(ef, 2));
    found = beam_search(index, query, entry, q.norm_sq, ef, 0, visited, q.table_ptr(), accepts,
                        &visits);
  }
  // While the results are short of k, the walk applies no bound, so every
  // passing node it visited is among them; only nodes it never reached (a
  // graph region cut off by tombstones or a degenerate m) can be missing.
  // An exact scan of the passing nodes then gives the true top k.
  if (found.size() < k && visits < index.node_count) {
    found.clear();
    for (uint32_t id = 0; id < index.node_count; ++id) {
      if (accepts(id)) found.emplace_back(rescore_distance(index, query, id, q.norm_sq), id);
    }
    return finish(std::move(found), k);
  }
  rescore(index, query, q.norm_sq, found);
  return finish(std::move(found), k);
}

std::vector<float> HnswIndex::node_vector(uint32_t id) const {
  if (id >= node_count) fatal("node_vector of a node that does not exist");
  if (has_raw_vectors()) {
    const auto v = raw_vector(id);
    return {v.begin(), v.end()};
  }
  return quantized_view(id).decode();
}

}  // namespace tessarine
