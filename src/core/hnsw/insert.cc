// Insertion of one node into the graph.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "core/base/fatal.h"
#include "core/base/float_order.h"
#include "core/base/thread_local_ref.h"
#include "core/distance/code_pair.h"
#include "core/distance/distance.h"
#include "core/distance/simd.h"
#include "core/hnsw/beam_search.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/level.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/visited.h"

namespace tessarine {
namespace {

// Per-thread buffers of one insertion's neighbour selection, kept between
// calls so that linking a node allocates nothing once they have grown.
struct SelectionScratch {
  std::vector<DistanceId> sorted;
  std::vector<uint8_t> taken;
  // The kept candidates: raw vectors with their sums of squares, or codes
  // with their code sums.
  std::vector<std::span<const float>> kept_raw;
  std::vector<float> kept_norms;
  std::vector<CodedVector> kept_codes;
};
struct LinkScratch {
  std::vector<uint32_t> ids;
  std::vector<DistanceId> candidates;
};
SelectionScratch& selection_scratch() {
  thread_local SelectionScratch scratch;
  return thread_local_ref(scratch);
}
LinkScratch& link_scratch() {
  thread_local LinkScratch scratch;
  return thread_local_ref(scratch);
}

// Stable ascending sort by distance, so equal distances give a repeatable
// selection. Insertion sort: the lists are short and the search's results
// arrive already sorted, and it needs no buffer.
void stable_sort_by_distance(std::vector<DistanceId>& entries) {
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const DistanceId moving = entries[i];
    const auto key = total_order_key(moving.first);
    std::size_t j = i;
    for (; j > 0 && key < total_order_key(entries[j - 1].first); --j) entries[j] = entries[j - 1];
    entries[j] = moving;
  }
}

// How the heuristic treated each sorted candidate.
constexpr uint8_t kRejected = 0;  // not diverse: may fill up the list
constexpr uint8_t kSelected = 1;
constexpr uint8_t kCopy = 2;  // the same vector as a selected candidate

// The heuristic's view of node vectors when raw vectors are kept: exact
// float distances, each vector's sum of squares taken once.
struct RawVectors {
  const HnswIndex& index;
  std::vector<std::span<const float>>& kept;
  std::vector<float>& kept_norms;

  struct Candidate {
    std::span<const float> vector;
    float norm_sq;
  };
  void clear() {
    kept.clear();
    kept_norms.clear();
  }
  std::size_t kept_count() const { return kept.size(); }
  Candidate candidate(uint32_t id) const {
    const auto v = index.raw_vector(id);
    const bool cosine = index.config.distance_metric == DistanceMetric::Cosine;
    return {v, cosine ? exact_norm_sq(v) : 0.0f};
  }
  void prefetch(uint32_t id) const { index.prefetch_vector(id); }
  bool is_copy_of_kept(const Candidate& c, std::size_t r) const {
    const auto k = kept[r];
    return !c.vector.empty() && c.vector[0] == k[0] &&
           std::memcmp(c.vector.data(), k.data(), c.vector.size() * sizeof(float)) == 0;
  }
  float distance_to_kept(const Candidate& c, std::size_t r) const {
    return distance_exact(index.config.distance_metric, c.vector, kept[r], c.norm_sq,
                          kept_norms[r]);
  }
  void keep(const Candidate& c) {
    kept.push_back(c.vector);
    kept_norms.push_back(c.norm_sq);
  }
};

// The heuristic's view of node vectors when only codes are kept: distances
// between the decoded vectors, computed from the codes' integer sums.
struct CodedVectors {
  const HnswIndex& index;
  std::vector<CodedVector>& kept;

  using Candidate = CodedVector;
  void clear() { kept.clear(); }
  std::size_t kept_count() const { return kept.size(); }
  Candidate candidate(uint32_t id) const { return index.coded(id); }
  void prefetch(uint32_t id) const { index.prefetch_coded(id); }
  bool is_copy_of_kept(const Candidate& c, std::size_t r) const { return same_codes(c, kept[r]); }
  float distance_to_kept(const Candidate& c, std::size_t r) const {
    return distance_between_codes(index.config.distance_metric, c, kept[r]);
  }
  void keep(const Candidate& c) { kept.push_back(c); }
};

// How the heuristic treats a candidate at `distance` from the node, given
// the neighbours kept so far.
template <typename Vectors>
uint8_t classify(const Vectors& vectors, const typename Vectors::Candidate& candidate,
                 float distance) {
  for (std::size_t r = 0; r < vectors.kept_count(); ++r) {
    // A copy of a kept neighbour leads nowhere that neighbour does not: it
    // is neither kept nor used to fill up. Equal distances would otherwise
    // keep every copy, and a node with many copies would link only to them
    // and be cut off from the rest of the graph.
    if (vectors.is_copy_of_kept(candidate, r)) return kCopy;
    if (!(vectors.distance_to_kept(candidate, r) >= distance)) return kRejected;
  }
  return kSelected;
}

// The kept candidates in order, then the closest rejected ones up to `want`.
NeighborSelection fill_up(const std::vector<DistanceId>& sorted, const std::vector<uint8_t>& taken,
                          std::vector<DistanceId> selected, std::size_t want) {
  const std::size_t kept = selected.size();
  for (std::size_t i = 0; i < sorted.size() && selected.size() < want; ++i) {
    if (taken[i] == kRejected) selected.push_back(sorted[i]);
  }
  return {std::move(selected), kept};
}

// Sorts the candidates into scratch.sorted, marks them all rejected and
// forgets the kept vectors; returns how many neighbours the selection wants.
template <typename Vectors>
std::size_t start_selection(Vectors& vectors, SelectionScratch& scratch,
                            std::span<const DistanceId> candidates, uint64_t m) {
  scratch.sorted.assign(candidates.begin(), candidates.end());
  stable_sort_by_distance(scratch.sorted);
  scratch.taken.assign(scratch.sorted.size(), kRejected);
  vectors.clear();
  return static_cast<std::size_t>(std::min<uint64_t>(m, scratch.sorted.size()));
}

template <typename Vectors>
NeighborSelection select_diverse(Vectors vectors, SelectionScratch& scratch,
                                 std::span<const DistanceId> candidates, uint64_t m) {
  const std::size_t want = start_selection(vectors, scratch, candidates, m);
  if (want == 0) return {};
  const std::vector<DistanceId>& sorted = scratch.sorted;
  std::vector<DistanceId> selected;
  selected.reserve(want);
  for (std::size_t i = 0; i < sorted.size() && selected.size() < want; ++i) {
    const auto [distance, id] = sorted[i];
    if (i + 1 < sorted.size()) vectors.prefetch(sorted[i + 1].second);
    const auto candidate = vectors.candidate(id);
    scratch.taken[i] = classify(vectors, candidate, distance);
    if (scratch.taken[i] != kSelected) continue;
    vectors.keep(candidate);
    selected.push_back(sorted[i]);
  }
  // Keep pruned connections: the closest rejected candidates fill up to m.
  return fill_up(sorted, scratch.taken, std::move(selected), want);
}

// The selection over an earlier selection's result plus one candidate: the
// candidates are `list` (a selection of width m over some candidates, whose
// first `kept_before` entries it kept) followed by `added`. Gives what
// select_diverse gives over the same candidates, with less work:
//  - a candidate's treatment depends only on the kept candidates closer than
//    it, and every kept candidate of the earlier selection is in the list
//    (those it left out were rejected or copies), so the entries closer than
//    `added` are treated as before;
//  - if `added` is not kept, nothing changes for the entries after it
//    either; if it is, they are examined again.
// Returns nothing when two candidates are at equal distances, whose order
// could differ from the earlier selection's: the caller then selects anew.
template <typename Vectors>
std::optional<NeighborSelection> select_after_adding(Vectors vectors, SelectionScratch& scratch,
                                                     std::span<const DistanceId> candidates,
                                                     std::size_t kept_before, uint64_t m) {
  if (kept_before >= candidates.size()) return std::nullopt;
  const std::size_t want = start_selection(vectors, scratch, candidates, m);
  const std::vector<DistanceId>& sorted = scratch.sorted;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (total_order_key(sorted[i - 1].first) == total_order_key(sorted[i].first)) {
      return std::nullopt;
    }
  }
  if (want == 0) return NeighborSelection{};
  std::vector<DistanceId> selected;
  selected.reserve(want);
  const uint32_t added = candidates.back().second;
  const std::span<const DistanceId> kept_earlier = candidates.first(kept_before);
  const auto was_kept = [&](uint32_t id) {
    return std::any_of(kept_earlier.begin(), kept_earlier.end(),
                       [id](const DistanceId& c) { return c.second == id; });
  };
  bool as_before = true;
  for (std::size_t i = 0; i < sorted.size() && selected.size() < want; ++i) {
    const auto [distance, id] = sorted[i];
    if (as_before && id != added) {
      if (!was_kept(id)) continue;  // rejected before, rejected now
      scratch.taken[i] = kSelected;
    } else {
      if (i + 1 < sorted.size()) vectors.prefetch(sorted[i + 1].second);
      scratch.taken[i] = classify(vectors, vectors.candidate(id), distance);
      if (scratch.taken[i] != kSelected) continue;
      as_before = false;
    }
    vectors.keep(vectors.candidate(id));
    selected.push_back(sorted[i]);
  }
  return fill_up(sorted, scratch.taken, std::move(selected), want);
}

uint64_t layer_width(const HnswConfig& config, uint64_t layer) {
  return layer == 0 ? config.m_max0 : config.m;
}

// Links node e to `added` on `layer`. A list that would grow past `width` is
// cut back with the heuristic over its ids followed by `added`, measuring
// from e itself.
void link_back(HnswIndex& index, uint32_t e, uint64_t layer, uint64_t width, uint32_t added) {
  const std::span<const uint32_t> list = index.neighbors.list(e, layer);
  if (list.size() + 1 <= width) {
    index.neighbors.append(e, layer, added);
    return;
  }
  LinkScratch& scratch = link_scratch();
  std::vector<uint32_t>& ids = scratch.ids;
  ids.assign(list.begin(), list.end());
  ids.push_back(added);
  const DistanceMetric metric = index.config.distance_metric;
  std::vector<DistanceId>& candidates = scratch.candidates;
  candidates.clear();
  // The count of ids an earlier cut of this list kept: it was measured the
  // same way, from e.
  const std::size_t kept_before =
      layer == 0 && list.size() == width ? index.neighbors.base_kept(e) : Adjacency::kUnknownKept;
  if (index.has_raw_vectors()) {
    const auto from = index.raw_vector(e);
    for (uint32_t x : ids)
      candidates.emplace_back(distance_exact(metric, from, index.raw_vector(x)), x);
  } else {
    const CodedVector from = index.coded(e);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (i + 1 < ids.size()) index.prefetch_coded(ids[i + 1]);
      candidates.emplace_back(distance_between_codes(metric, from, index.coded(ids[i])), ids[i]);
    }
  }
  const NeighborSelection kept = kept_before == Adjacency::kUnknownKept
                                     ? select_neighbors(index, candidates, width)
                                     : reselect_neighbors(index, candidates, kept_before, width);
  ids.clear();
  for (const auto& [distance, id] : kept.neighbors) ids.push_back(id);
  index.neighbors.set_selected_list(e, layer, ids, kept.kept);
}

}  // namespace

std::vector<DistanceId> select_neighbors_heuristic(const HnswIndex& index,
                                                   std::span<const DistanceId> candidates,
                                                   uint64_t m) {
  return select_neighbors(index, candidates, m).neighbors;
}

NeighborSelection select_neighbors(const HnswIndex& index, std::span<const DistanceId> candidates,
                                   uint64_t m) {
  SelectionScratch& scratch = selection_scratch();
  if (index.has_raw_vectors()) {
    return select_diverse(RawVectors{index, scratch.kept_raw, scratch.kept_norms}, scratch,
                          candidates, m);
  }
  return select_diverse(CodedVectors{index, scratch.kept_codes}, scratch, candidates, m);
}

NeighborSelection reselect_neighbors(const HnswIndex& index, std::span<const DistanceId> candidates,
                                     std::size_t kept_before, uint64_t m) {
  SelectionScratch& scratch = selection_scratch();
  std::optional<NeighborSelection> selection =
      index.has_raw_vectors()
          ? select_after_adding(RawVectors{index, scratch.kept_raw, scratch.kept_norms}, scratch,
                                candidates, kept_before, m)
          : select_after_adding(CodedVectors{index, scratch.kept_codes}, scratch, candidates,
                                kept_before, m);
  return selection ? *std::move(selection) : select_neighbors(index, candidates, m);
}

void HnswIndex::insert(uint32_t id, std::span<const float> embedding, QuantizedVector quantized) {
  if (id != node_count || node_count == UINT32_MAX) fatal("graph insert out of id order");
  if (embedding.size() != dimension || quantized.codes.size() != dimension) {
    fatal("graph insert with a vector of the wrong length");
  }
  const uint64_t level = random_level(config.m, config.level_cap);
  std::vector<std::vector<uint32_t>> lists(level + 1);

  const uint64_t top = max_level;
  const uint64_t linked_top = std::min(level, top);
  if (entry_point) {
    const PreparedQuery query = prepare_query(*this, embedding, /*with_table=*/false);
    VisitedLease lease(insert_visited());
    VisitedSet& visited = lease.get();
    visited.reserve(node_count);

    uint32_t ep = *entry_point;
    for (uint64_t layer = top; layer > level; --layer) {
      const uint32_t entry[] = {ep};
      const auto found = search_layer(*this, query, entry, 1, layer, visited);
      if (!found.empty()) ep = found.front().second;
    }
    std::vector<uint32_t> entries = {ep};
    for (uint64_t layer = linked_top + 1; layer-- > 0;) {
      auto found = search_layer(*this, query, entries, config.ef_construction, layer, visited);
      if (found.empty()) {
        // Everything reached on this layer is tombstoned. Linking to nothing
        // would leave the node unreachable for good (no list would ever
        // point to it), so it links through the tombstoned nodes instead;
        // searches walk through them and can reach it.
        const auto any = [](uint32_t) { return true; };
        found = beam_detail::beam_search(*this, query, entries, config.ef_construction, layer,
                                         visited, nullptr, any);
      }
      for (const auto& [distance, neighbor] :
           select_neighbors_heuristic(*this, found, layer_width(config, layer))) {
        lists[layer].push_back(neighbor);
      }
      entries.clear();
      for (const auto& [distance, neighbor] : found) entries.push_back(neighbor);
      if (entries.empty()) entries.push_back(*entry_point);
    }
  }

  // Append the node's data; every per-node sequence grows by one.
  vector_data.insert(vector_data.end(), quantized.codes.begin(), quantized.codes.end());
  vector_min.push_back(quantized.min);
  vector_scale.push_back(quantized.scale);
  if (config.distance_metric == DistanceMetric::Cosine && code_norms.size() == id) {
    code_norms.push_back(decoded_norm_sq(quantized_view(id)));
  }
  if (code_stats.size() == id) code_stats.push_back(code_stats_of(quantized_view(id)));
  if (config.store_raw_vectors)
    raw_vectors.insert(raw_vectors.end(), embedding.begin(), embedding.end());
  if (pq_codebook) {
    const auto codes = pq_codebook->encode(embedding);
    pq_codes.insert(pq_codes.end(), codes.begin(), codes.end());
  }
  neighbors.add_node(level + 1);
  for (uint64_t layer = 0; layer <= linked_top; ++layer) {
    neighbors.set_list(id, layer, lists[layer]);
  }
  layers.push_back(static_cast<uint8_t>(level));
  deleted.push_back(0);
  ++node_count;

  if (!entry_point) {
    entry_point = id;
    max_level = level;
    return;
  }

  // Link back, pruning every list that grows past its layer's width.
  for (uint64_t layer = 0; layer <= linked_top; ++layer) {
    const uint64_t width = layer_width(config, layer);
    for (uint32_t e : lists[layer]) link_back(*this, e, layer, width, id);
  }
  if (level > top) {
    max_level = level;
    entry_point = id;
  }
}

}  // namespace tessarine
