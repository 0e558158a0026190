// k-nearest-neighbour search over an HnswIndex. Results are (distance, id)
// pairs in ascending distance; tombstoned nodes are never returned.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "absl/functional/function_ref.h"
#include "core/hnsw/graph.h"

namespace tessarine {

using DistanceId = std::pair<float, uint32_t>;

// The k nearest live nodes: at most k entries, ascending by distance to the
// node's raw vector (exact) or to its scalar codes; with a PQ codebook the
// walk uses PQ lookups and the results are rescored the same way. Fewer than
// k only when fewer live nodes exist. `query` must have index.dimension
// components (a different length is a broken invariant). Thread-safe for
// concurrent searches; uses this thread's search visited set.
// `ef_search` (0: the index's configured value) sets the layer-0 beam width
// of this search alone; the beam is never narrower than k.
std::vector<DistanceId> knn_search(const HnswIndex& index, std::span<const float> query, uint64_t k,
                                   uint64_t ef_search = 0);

// As knn_search, but only nodes for which `passes(id)` holds can become
// results (the filter takes part in the layer-0 walk; failing nodes are still
// stepping stones). When the walk cannot reach k passing nodes, an exact scan
// of the passing nodes completes the answer, so a top-k query never silently
// returns fewer than k matches that exist. `passes` is called at most once per
// node per pass and never for tombstoned nodes.
std::vector<DistanceId> knn_search_filtered(const HnswIndex& index, std::span<const float> query,
                                            uint64_t k, absl::FunctionRef<bool(uint32_t)> passes,
                                            uint64_t ef_search = 0);

// The k nearest of the given live nodes by an exact scan (the distances the
// walks rank their results by: raw vectors when kept, else scalar codes), for
// a filter that admits few enough nodes that scanning them beats walking.
std::vector<DistanceId> knn_exact_among(const HnswIndex& index, std::span<const float> query,
                                        std::span<const uint32_t> ids, uint64_t k);

}  // namespace tessarine
