// Turning a filter into the exact set of documents it admits, through the
// collection's metadata index, and choosing how a filtered vector search
// runs: a graph walk that tests one bit per visited node, or an exact scan
// of the admitted documents when there are few enough of them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/collection/collection.h"
#include "core/collection/filter.h"
#include "core/hnsw/config.h"
#include "core/hnsw/search.h"

namespace tessarine {

// The live documents that pass a filter: exactly those for which
// passes_filter holds, found in time proportional to the index's candidates
// rather than to the collection.
struct AdmittedSet {
  std::vector<uint32_t> ids;   // ascending internal ids
  std::vector<uint64_t> bits;  // bit i set when internal id i is admitted

  bool contains(uint32_t id) const {
    const std::size_t word = id >> 6;
    return word < bits.size() && ((bits[word] >> (id & 63)) & 1) != 0;
  }
  std::size_t size() const { return ids.size(); }
};

// The caller holds the collection's lock (shared is enough).
AdmittedSet admit(const Collection& collection, const Filter& filter);

// True when scanning `admitted` documents exactly costs no more than the
// graph walk would: the walk visits about max(ef_search, k) * m_max0 nodes
// per admitted fraction of the collection before its beam holds enough
// matches, and a scanned node costs about twice a visited one. With exact
// counts this is a plan, not a guess.
bool prefer_exact_scan(uint64_t admitted, uint64_t live, uint64_t k, const HnswConfig& config);

// The k nearest admitted documents by the cheaper strategy: an exact scan of
// the admitted documents, or a graph walk that tests one bit per visited
// node. `ef` is the walk's beam width (0: the collection's).
std::vector<DistanceId> filtered_knn(const Collection& collection, std::span<const float> query,
                                     uint64_t k, const AdmittedSet& admitted, uint64_t ef);

}  // namespace tessarine
