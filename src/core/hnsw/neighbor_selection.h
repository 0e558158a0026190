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

// A selection's neighbours, the `kept` diverse ones first, then the fill-ins.
struct NeighborSelection {
  std::vector<DistanceId> neighbors;
  std::size_t kept = 0;
};

// select_neighbors_heuristic, with the count of neighbours kept for their
// diversity.
NeighborSelection select_neighbors(const HnswIndex& index, std::span<const DistanceId> candidates,
                                   uint64_t m);

// The same selection when `candidates` are the neighbours of an earlier
// selection of width m (over candidates measured from the same node in the
// same way; `kept_before` of them kept) followed by one new candidate. It
// re-examines only what the new candidate can change: a candidate's fate
// depends only on the kept candidates closer to the node, and the earlier
// selection left out no kept candidate.
NeighborSelection reselect_neighbors(const HnswIndex& index, std::span<const DistanceId> candidates,
                                     std::size_t kept_before, uint64_t m);

}  // namespace tessarine
