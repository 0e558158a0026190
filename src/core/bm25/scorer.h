// BM25 (k1 = 1.2, b = 0.75) over an InvertedIndex.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/top_k.h"
#include "core/bm25/inverted_index.h"

namespace tessarine {

// At most k (doc id, score) pairs: the best k by score, and among equal
// scores the higher ids (select_top_k's rule), ordered by descending score
// and, among equal scores, by descending id.
//
// Walks the query terms' posting lists in document order and skips the
// documents (and whole blocks of postings) whose score bounds cannot reach
// the k-th best score found so far. The result, scores included bit for bit,
// is that of bm25_search_exhaustive. Safe to call from several threads at
// once on an index nobody modifies.
RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k);

// What one bm25_search did, for tests and benchmarks.
struct Bm25SearchStats {
  uint64_t postings = 0;    // in the query terms' lists, repetitions counted once
  uint64_t scored = 0;      // documents whose full score was computed
  bool exhaustive = false;  // true when the lists had to be scored exhaustively
};

// bm25_search that also reports its work into *stats.
RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k,
                       Bm25SearchStats& stats);

// The same result, computed by scoring every posting of every query term.
// The reference for bm25_search; also taken by bm25_search when a posting
// list is not in ascending id order.
RankedList bm25_search_exhaustive(const InvertedIndex& index, std::string_view query, uint64_t k);

}  // namespace tessarine
