// The building blocks of graph traversal shared by insertion and search: the
// per-node distance and the beam search within one layer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/distance/fixed_query.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "core/hnsw/visited.h"
#include "core/quantization/pq.h"

namespace tessarine {

// A query as the distances to it need it, prepared once per search or
// insertion: its sum of squares; its PQ table, when PQ distances guide the
// walk; its fixed-point form, when the node's 8-bit codes are measured with
// integer dot products.
struct PreparedQuery {
  std::span<const float> values;
  float norm_sq = 0.0f;
  std::optional<PqDistanceTable> table;
  std::optional<FixedQuery> fixed;

  const PqDistanceTable* table_ptr() const { return table ? &*table : nullptr; }
};

// Prepares `query` (of the index's dimension) for `index`; the PQ table only
// when `with_table` and the index has a usable codebook.
PreparedQuery prepare_query(const HnswIndex& index, std::span<const float> query, bool with_table);

// Distance from `query` to node `id`: the PQ lookup when `table` is given,
// otherwise the exact distance to the raw vector when raw vectors are kept,
// otherwise the asymmetric distance to the node's scalar codes (in fixed
// point when the query has that form and the metric needs only the dot
// product).
float compute_distance(const HnswIndex& index, const PreparedQuery& query, uint32_t id,
                       const PqDistanceTable* table);

// Beam search of width `ef` on `layer` from `entry_points`, without PQ.
// Returns at most ef (distance, id) pairs in ascending distance; tombstoned
// nodes are walked through but never returned. `visited` must already be
// reserved for index.node_count nodes; this call starts a new generation.
std::vector<DistanceId> search_layer(const HnswIndex& index, const PreparedQuery& query,
                                     std::span<const uint32_t> entry_points, uint64_t ef,
                                     uint64_t layer, VisitedSet& visited);

// This thread's candidate queue for beam searches (one at a time per
// thread), kept between searches so that its room is reused.
std::vector<DistanceId>& beam_candidates_scratch();

// Sorts by ascending distance in the IEEE total order (ties in no particular
// order).
void sort_by_distance(std::vector<DistanceId>& entries);

}  // namespace tessarine
