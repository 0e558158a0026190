// The beam search within one layer, parameterised by which nodes may become
// results. Private to the graph code (insertion, search, filtered search).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/base/float_order.h"
#include "core/base/prefetch.h"
#include "core/hnsw/layer_search.h"

namespace tessarine::beam_detail {

// Heap orders on the IEEE total order, so NaN distances cannot break a heap.
struct Closer {  // min-heap: the closest candidate on top
  bool operator()(const DistanceId& a, const DistanceId& b) const {
    return total_order_key(a.first) > total_order_key(b.first);
  }
};
struct Farther {  // max-heap: the farthest result on top
  bool operator()(const DistanceId& a, const DistanceId& b) const {
    return total_order_key(a.first) < total_order_key(b.first);
  }
};

// How much of a node's vector a walk asks for ahead of measuring it: the
// walk requests a whole list of nodes at once. All of a short code vector;
// the first lines of raw floats (asking for more measured slower).
inline constexpr std::size_t kPrefetchCodeBytes = 512;
inline constexpr std::size_t kPrefetchRawBytes = 128;

// Hints the processor to load the data compute_distance will read for `id`.
inline void prefetch_node(const HnswIndex& index, uint32_t id, const PqDistanceTable* table) {
  if (table != nullptr) {
    const std::size_t start = std::size_t{id} * table->num_subspaces;
    if (start < index.pq_codes.size()) prefetch_line(index.pq_codes.data() + start);
  } else {
    index.prefetch_vector(id, index.has_raw_vectors() ? kPrefetchRawBytes : kPrefetchCodeBytes);
    if (id < index.code_norms.size()) prefetch_line(index.code_norms.data() + id);
  }
}

// Neighbour ids examined together by one step of the walk.
inline constexpr std::size_t kGatherWindow = 64;

// Room for ef entries, but never more than the graph can return.
inline std::size_t bounded_room(uint64_t ef, uint32_t node_count) {
  return static_cast<std::size_t>(std::min<uint64_t>(ef, node_count)) + 1;
}

// One traversal of `layer`. `accepts(id)` tells whether a node may become a
// result (not tombstoned, and passing a filter when there is one); every node
// is still a stepping stone. The results' farthest distance bounds the walk
// only once the results hold ef entries: until then every newly visited
// neighbour is queued, so tombstoned or filtered-out regions cannot end the
// walk early. `visited_count`, when given, receives the number of nodes this
// traversal visited.
template <typename Accepts>
std::vector<DistanceId> beam_search(const HnswIndex& index, const PreparedQuery& query,
                                    std::span<const uint32_t> entry_points, uint64_t ef,
                                    uint64_t layer, VisitedSet& visited,
                                    const PqDistanceTable* table, Accepts accepts,
                                    uint64_t* visited_count = nullptr) {
  ef = std::max<uint64_t>(ef, 1);
  uint64_t visits = 0;
  std::vector<DistanceId>& candidates = beam_candidates_scratch();
  candidates.clear();
  std::vector<DistanceId> results;
  results.reserve(bounded_room(ef, index.node_count));
  const auto full = [&] { return results.size() >= ef; };
  const auto add_result = [&](float d, uint32_t id) {
    results.emplace_back(d, id);
    std::push_heap(results.begin(), results.end(), Farther{});
    if (results.size() > ef) {
      std::pop_heap(results.begin(), results.end(), Farther{});
      results.pop_back();
    }
  };

  visited.begin();
  for (uint32_t e : entry_points) {
    if (!visited.visit(e)) continue;
    ++visits;
    const float d = compute_distance(index, query, e, table);
    candidates.emplace_back(d, e);
    std::push_heap(candidates.begin(), candidates.end(), Closer{});
    if (accepts(e)) add_result(d, e);
  }

  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), Closer{});
    const DistanceId current = candidates.back();
    candidates.pop_back();
    if (full() && total_order_key(current.first) > total_order_key(results.front().first)) break;
    // The closest waiting node is most often the next one taken.
    if (layer == 0 && !candidates.empty())
      index.neighbors.prefetch_base_list(candidates.front().second);
    if (layer != 0 && layer >= index.neighbors.layer_count(current.second)) {
      continue;  // the node does not reach this layer
    }
    const std::span<const uint32_t> list = index.neighbors.list(current.second, layer);
    // The list's unvisited nodes are gathered first and all their data
    // requested at once, so that their loads from memory overlap instead of
    // each distance waiting for its own; distances then follow in list order.
    for (std::size_t start = 0; start < list.size(); start += kGatherWindow) {
      uint32_t fresh[kGatherWindow];
      std::size_t fresh_count = 0;
      const std::size_t end = std::min(list.size(), start + kGatherWindow);
      for (std::size_t j = start; j < end; ++j) {
        if (visited.visit(list[j])) fresh[fresh_count++] = list[j];
      }
      for (std::size_t j = 0; j < fresh_count; ++j) prefetch_node(index, fresh[j], table);
      for (std::size_t j = 0; j < fresh_count; ++j) {
        const uint32_t e = fresh[j];
        ++visits;
        const float d = compute_distance(index, query, e, table);
        if (full() && total_order_key(d) >= total_order_key(results.front().first)) continue;
        candidates.emplace_back(d, e);
        std::push_heap(candidates.begin(), candidates.end(), Closer{});
        if (accepts(e)) add_result(d, e);
      }
    }
  }
  if (visited_count != nullptr) *visited_count = visits;
  sort_by_distance(results);
  return results;
}

}  // namespace tessarine::beam_detail
