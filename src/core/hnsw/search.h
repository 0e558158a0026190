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

// At most k entries. `query` must have index.dimension components.
std::vector<DistanceId> knn_search(const HnswIndex& index, std::span<const float> query, uint64_t k);

// As knn_search, but only nodes for which `passes(id)` holds can become
// results (the filter takes part in the layer-0 walk; failing nodes are still
// stepping stones). When the widest pass still holds fewer than k results,
// an exact scan of the passing nodes completes the answer, so a top-k query
// never silently returns fewer than k matches that exist.
std::vector<DistanceId> knn_search_filtered(const HnswIndex& index, std::span<const float> query,
                                            uint64_t k, absl::FunctionRef<bool(uint32_t)> passes);

}  // namespace tessarine
