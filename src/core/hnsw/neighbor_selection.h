// The neighbour-selection heuristic of HNSW: keeps candidates that are closer
// to the node than to any neighbour already kept, which spreads links in
// different directions, then fills up with the closest rejected candidates.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/search.h"

namespace tessarine {

// At most m of `candidates` (distance to the node, id): in ascending distance
// (IEEE total order), a candidate c is kept unless some already kept r has
// distance_exact(c, r) < c's distance (a NaN distance also rejects); if fewer
// than m survive, rejected candidates fill up in ascending distance. Returns
// the kept ones first, then the fill-ins. A candidate that is the same vector
// as a kept one is skipped altogether. Vectors are the raw ones when kept,
// otherwise the decoded codes (compared through distance_between_codes).
std::vector<DistanceId> select_neighbors_heuristic(const HnswIndex& index,
                                                   std::span<const DistanceId> candidates,
                                                   uint64_t m);

}  // namespace tessarine
