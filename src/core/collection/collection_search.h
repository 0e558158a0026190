// The search paths of one collection: vector, filtered vector, keyword,
// hybrid and filtered hybrid. A search reads the collection under its shared
// lock and hands back shared documents, which stay valid after the lock is
// released (and even after the documents are deleted).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"

namespace tessarine {

struct SearchRequest {
  std::optional<std::vector<float>> query_embedding;  // vector or hybrid search
  std::optional<std::string> query_text;              // keyword or hybrid search
  uint64_t k = 10;                                    // at most this many results
  // Results scoring below this are dropped (vector and hybrid searches only).
  std::optional<float> min_similarity;
  float alpha = 0.7f;  // linear fusion: weight of the vector side, 1 - alpha for keywords
  std::string fusion_method = "rrf";  // exactly "linear" selects linear fusion; else RRF
  // Present (even when empty) selects the filtered vector and hybrid paths.
  // A keyword-only search does not apply it.
  std::optional<Filter> filter;
  // The graph walk's beam width for this search alone (vector and hybrid
  // paths); nothing means the collection's ef_search.
  std::optional<uint64_t> ef_search;
};

// score is larger-is-better: 1 - distance on the vector paths (the cosine
// similarity; 1 - squared euclidean distance; 1 + dot product), the BM25
// score on the keyword path, the fused score on the hybrid paths.
struct ScoredDocument {
  std::shared_ptr<const Document> document;
  float score = 0.0f;
};

// Checks a query embedding against the collection before any index access:
// its length must equal the collection's dimension and every component must
// be finite.
Status check_query_embedding(const Collection& collection, std::span<const float> query);

// Runs the path the request selects and returns at most k documents, best
// first. Fails with InvalidArgument when neither a query embedding nor a
// query text is given, or when the query embedding fails
// check_query_embedding. A k beyond the collection's size returns every
// match; no memory is reserved beyond what the collection holds.
Result<std::vector<ScoredDocument>> search_collection(const LockedCollection& collection,
                                                      const SearchRequest& request);

}  // namespace tessarine
