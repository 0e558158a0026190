// Consistency checks of a decoded snapshot before it becomes a collection.
// Searches and insertions index the flat vector arrays, the adjacency lists
// and the id tables without bounds checks, so a record that passes these
// checks can be used as it is, and one that does not is refused.
#pragma once

#include "core/base/status.h"
#include "core/collection/collection.h"

namespace tessarine {

// Returns the first failed check as kInvalidData with its message (the
// snapshot loader prefixes "snapshot validation failed: "). The first
// thirteen checks, in order, are the record's length relations:
//   "HNSW dimension {} != collection dimension {}",
//   "vector_data length {} != node_count({}) * dimension({})",
//   "vector_min length {} != node_count {}", "vector_scale length {} != node_count {}",
//   "neighbors length {} != node_count {}", "layers length {} != node_count {}",
//   "deleted length {} != node_count {}",
//   "pq_codes length {} != node_count({}) * num_subspaces({})",
//   "uuid_to_internal({}) != internal_to_uuid({})",
//   "internal_to_uuid length {} != node_count {}", "documents({}) > node_count({})",
//   "entry_point {} >= node_count {}",
//   "neighbor {} out of bounds (node_count={}) at node {} layer {}".
// Then what the graph, the codebook, the keyword index and the id tables
// rely on: raw-vector length, one adjacency list per layer of each node,
// levels below level_cap, links only to nodes present on that layer, the
// entry point and max_level, codebook shapes, PQ settings that divide the
// dimension, posting ids within doc_lengths, and id tables that agree with
// each other and with the documents.
Status validate_collection(const Collection& collection);

}  // namespace tessarine
