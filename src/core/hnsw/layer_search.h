// The building blocks of graph traversal shared by insertion and search: the
// per-node distance and the beam search within one layer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"
#include "core/hnsw/visited.h"
#include "core/quantization/pq.h"

namespace tessarine {

// Distance from `query` to node `id`: the PQ lookup when `table` is given,
// otherwise the exact distance to the raw vector when raw vectors are kept,
// otherwise the asymmetric distance to the node's scalar codes.
float compute_distance(const HnswIndex& index, std::span<const float> query, uint32_t id,
                       const PqDistanceTable* table, float query_norm_sq);

// Beam search of width `ef` on `layer` from `entry_points`, without PQ.
// Returns at most ef (distance, id) pairs in ascending distance; tombstoned
// nodes are walked through but never returned. `visited` must already be
// reserved for index.node_count nodes; this call starts a new generation.
std::vector<DistanceId> search_layer(const HnswIndex& index, std::span<const float> query,
                                     std::span<const uint32_t> entry_points, float query_norm_sq,
                                     uint64_t ef, uint64_t layer, VisitedSet& visited);

// This thread's candidate queue for beam searches (one at a time per
// thread), kept between searches so that its room is reused.
std::vector<DistanceId>& beam_candidates_scratch();

// Sorts by ascending distance in the IEEE total order (ties in no particular
// order).
void sort_by_distance(std::vector<DistanceId>& entries);

}  // namespace tessarine
