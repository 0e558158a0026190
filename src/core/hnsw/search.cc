#include "core/hnsw/search.h"

#include <algorithm>
#include <optional>

#include "core/base/fatal.h"
#include "core/base/float_order.h"
#include "core/base/prefetch.h"
#include "core/base/thread_local_ref.h"
#include "core/distance/simd.h"
#include "core/hnsw/beam_search.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/level.h"

namespace tessarine {
namespace {

using beam_detail::beam_search;

// Distance without the PQ table: the one results are ranked by.
float rescore_distance(const HnswIndex& index, const PreparedQuery& query, uint32_t id) {
  return compute_distance(index, query, id, nullptr);
}

void rescore(const HnswIndex& index, const PreparedQuery& query, std::vector<DistanceId>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (index.has_raw_vectors() && i + 1 < entries.size()) {
      beam_detail::prefetch_node(index, entries[i + 1].second, nullptr);
    }
    entries[i].first = rescore_distance(index, query, entries[i].second);
  }
}

// Greedy descent from the entry point through layers max_level .. 1 with a
// beam of one; a layer that yields no live node leaves the position as is.
uint32_t descend_to_layer0(const HnswIndex& index, const PreparedQuery& q, VisitedSet& visited) {
  uint32_t ep = *index.entry_point;
  const auto live = [&](uint32_t id) { return !index.is_deleted(id); };
  const uint64_t top = std::min<uint64_t>(index.max_level, kMaxLayers - 1);
  for (uint64_t layer = top; layer >= 1; --layer) {
    const uint32_t entry[] = {ep};
    const auto found = beam_search(index, q, entry, 1, layer, visited, q.table_ptr(), live);
    if (!found.empty()) ep = found.front().second;
  }
  return ep;
}

// Every cache line of a node's vector (codes or raw floats), for a scan that
// knows its next nodes long before it reaches them: its ids are scattered, so
// each vector would otherwise arrive from memory one line at a time.
void prefetch_whole_vector(const HnswIndex& index, uint32_t id) {
  index.prefetch_vector(id);
  if (id < index.code_norms.size()) prefetch_line(index.code_norms.data() + id);
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

// The k nearest nodes that `accepts` admits (live ones, passing the filter
// if there is one), ascending by rescored distance.
//
// The layer-0 beam is ef = max(ef_search, k) wide, and the walk bounds itself
// by the farthest result only once it holds ef results. A pass that ends with
// fewer than k <= ef results was therefore never bounded: it visited every
// node reachable from its entry, and a wider beam would find nothing more.
// Whatever is still missing lies in a part of the graph the walk cannot
// reach (cut off by tombstones, or a degenerate m), so an exact scan of the
// admitted nodes completes the answer: a top-k query never silently returns
// fewer than k matches that exist.
template <typename Accepts>
std::vector<DistanceId> top_k_search(const HnswIndex& index, std::span<const float> query,
                                     uint64_t k, uint64_t ef_search, Accepts accepts) {
  if (!index.entry_point || k == 0) return {};
  VisitedLease lease(search_visited());
  VisitedSet& visited = lease.get();
  visited.reserve(index.node_count);
  const PreparedQuery q = prepare_query(index, query, /*with_table=*/true);
  const uint32_t entry[] = {descend_to_layer0(index, q, visited)};

  const uint64_t ef = std::max(ef_search != 0 ? ef_search : index.config.ef_search, k);
  uint64_t visits = 0;
  std::vector<DistanceId> found =
      beam_search(index, q, entry, ef, 0, visited, q.table_ptr(), accepts, &visits);
  if (found.size() < k && visits < index.node_count) {
    found.clear();
    for (uint32_t id = 0; id < index.node_count; ++id) {
      if (accepts(id)) found.emplace_back(rescore_distance(index, q, id), id);
    }
    return finish(std::move(found), k);
  }
  rescore(index, q, found);
  return finish(std::move(found), k);
}

}  // namespace

PreparedQuery prepare_query(const HnswIndex& index, std::span<const float> query, bool with_table) {
  if (query.size() != index.dimension) fatal("query length differs from the index dimension");
  PreparedQuery prepared{query, sum_of_squares(query), std::nullopt, std::nullopt};
  if (with_table && index.pq_codebook && index.pq_codebook->is_consistent() &&
      index.pq_codebook->dimension() == index.dimension) {
    prepared.table = index.pq_codebook->build_distance_table(query, index.config.distance_metric);
  }
  if (!index.has_raw_vectors() && index.config.distance_metric != DistanceMetric::Euclidean &&
      fixed_query_supported()) {
    prepared.fixed = FixedQuery::from(query);
  }
  return prepared;
}

float compute_distance(const HnswIndex& index, const PreparedQuery& query, uint32_t id,
                       const PqDistanceTable* table) {
  if (table != nullptr) {
    const std::size_t m = table->num_subspaces;
    const std::size_t start = std::size_t{id} * m;
    if (start + m <= index.pq_codes.size()) return table->lookup(index.pq_codes.data() + start);
  }
  const DistanceMetric metric = index.config.distance_metric;
  if (index.has_raw_vectors()) return distance_exact(metric, query.values, index.raw_vector(id));
  const bool has_norm = id < index.code_norms.size();
  if (query.fixed && (has_norm || metric == DistanceMetric::DotProduct)) {
    return distance_fixed(metric, *query.fixed, index.quantized_view(id), query.norm_sq,
                          has_norm ? index.code_norms[id] : 0.0);
  }
  if (has_norm) {
    return distance_asym_prenorm(metric, query.values, index.quantized_view(id), query.norm_sq,
                                 index.code_norms[id]);
  }
  return distance_asym_prenorm(metric, query.values, index.quantized_view(id), query.norm_sq);
}

void HnswIndex::restore_derived() {
  code_stats.clear();
  code_stats.reserve(node_count);
  for (uint32_t id = 0; id < node_count; ++id)
    code_stats.push_back(code_stats_of(quantized_view(id)));
  code_norms.clear();
  if (config.distance_metric != DistanceMetric::Cosine) return;
  code_norms.reserve(node_count);
  for (uint32_t id = 0; id < node_count; ++id) {
    code_norms.push_back(decoded_norm_sq(quantized_view(id)));
  }
}

std::vector<DistanceId>& beam_candidates_scratch() {
  thread_local std::vector<DistanceId> candidates;
  return thread_local_ref(candidates);
}

void sort_by_distance(std::vector<DistanceId>& entries) {
  std::sort(entries.begin(), entries.end(), [](const DistanceId& a, const DistanceId& b) {
    return total_order_key(a.first) < total_order_key(b.first);
  });
}

std::vector<DistanceId> search_layer(const HnswIndex& index, const PreparedQuery& query,
                                     std::span<const uint32_t> entry_points, uint64_t ef,
                                     uint64_t layer, VisitedSet& visited) {
  const auto live = [&](uint32_t id) { return !index.is_deleted(id); };
  return beam_search(index, query, entry_points, ef, layer, visited, nullptr, live);
}

std::vector<DistanceId> knn_search(const HnswIndex& index, std::span<const float> query, uint64_t k,
                                   uint64_t ef_search) {
  return top_k_search(index, query, k, ef_search,
                      [&](uint32_t id) { return !index.is_deleted(id); });
}

std::vector<DistanceId> knn_search_filtered(const HnswIndex& index, std::span<const float> query,
                                            uint64_t k, absl::FunctionRef<bool(uint32_t)> passes,
                                            uint64_t ef_search) {
  return top_k_search(index, query, k, ef_search,
                      [&](uint32_t id) { return !index.is_deleted(id) && passes(id); });
}

std::vector<DistanceId> knn_exact_among(const HnswIndex& index, std::span<const float> query,
                                        std::span<const uint32_t> ids, uint64_t k) {
  if (k == 0 || ids.empty()) return {};
  const PreparedQuery prepared = prepare_query(index, query, /*with_table=*/false);
  std::vector<DistanceId> found;
  found.reserve(ids.size());
  constexpr std::size_t kAhead = 4;  // nodes in flight: enough to hide memory latency
  for (std::size_t i = 0; i < std::min(kAhead, ids.size()); ++i) {
    if (ids[i] < index.node_count) prefetch_whole_vector(index, ids[i]);
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const uint32_t id = ids[i];
    if (i + kAhead < ids.size() && ids[i + kAhead] < index.node_count) {
      prefetch_whole_vector(index, ids[i + kAhead]);
    }
    if (id >= index.node_count || index.is_deleted(id)) continue;
    found.emplace_back(rescore_distance(index, prepared, id), id);
  }
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
