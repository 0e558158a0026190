#include "core/collection/collection_search.h"

#include <algorithm>
#include <cmath>
#include <shared_mutex>
#include <string>

#include "core/base/top_k.h"
#include "core/bm25/scorer.h"
#include "core/collection/filter_plan.h"
#include "core/collection/hybrid.h"
#include "core/hnsw/search.h"

namespace tessarine {
namespace {

// No search can find more results than the collection has internal ids, so
// k is cut to that before it reaches an engine: a k of 2^64 - 1 then costs no
// more than a k equal to the collection's size.
uint64_t bounded_k(const Collection& c, uint64_t k) {
  return std::min<uint64_t>(k, c.internal_to_uuid.size());
}

// Appends the live document with internal id `id`; stale ids are skipped.
void append_resolved(const Collection& c, uint32_t id, float score,
                     std::vector<ScoredDocument>& out) {
  if (id >= c.internal_to_uuid.size()) return;
  const auto found = c.documents.find(c.internal_to_uuid[id]);
  if (found == c.documents.end()) return;
  out.push_back({found->second, score});
}

bool below_threshold(float score, const std::optional<float>& min_similarity) {
  return min_similarity.has_value() && score < *min_similarity;
}

bool is_tombstoned(const HnswIndex& index, uint32_t id) {
  return id < index.deleted.size() && index.deleted[id] != 0;
}

// The beam width a request asks for; 0 means the collection's ef_search.
// An explicit 0 asks for the narrowest beam (k), not for the default.
uint64_t request_ef(const SearchRequest& request) {
  return request.ef_search ? std::max<uint64_t>(*request.ef_search, 1) : 0;
}

// A vector hit's score: larger is better.
float similarity(float distance) { return 1.0f - distance; }

std::vector<ScoredDocument> resolve_vector_hits(const Collection& c,
                                                const std::vector<DistanceId>& hits,
                                                const std::optional<float>& min_similarity) {
  std::vector<ScoredDocument> out;
  out.reserve(hits.size());
  for (const auto& [distance, id] : hits) {
    const float score = similarity(distance);
    if (below_threshold(score, min_similarity)) continue;
    append_resolved(c, id, score, out);
  }
  return out;
}

std::vector<ScoredDocument> vector_search(const Collection& c, std::span<const float> query,
                                          uint64_t k, const std::optional<float>& min_similarity,
                                          uint64_t ef) {
  return resolve_vector_hits(c, knn_search(c.hnsw, query, bounded_k(c, k), ef), min_similarity);
}

std::vector<ScoredDocument> vector_search_filtered(const Collection& c,
                                                   std::span<const float> query, uint64_t k,
                                                   const std::optional<float>& min_similarity,
                                                   const Filter& filter, uint64_t ef) {
  return resolve_vector_hits(c, filtered_knn(c, query, bounded_k(c, k), admit(c, filter), ef),
                             min_similarity);
}

// Neither the filter nor min_similarity applies to a keyword-only search.
std::vector<ScoredDocument> keyword_search(const Collection& c, std::string_view text, uint64_t k) {
  const RankedList hits = bm25_search(c.inverted_index, text, bounded_k(c, k));
  std::vector<ScoredDocument> out;
  out.reserve(hits.size());
  for (const auto& [id, score] : hits) append_resolved(c, id, score, out);
  return out;
}

RankedList to_vector_list(const Collection& c, const std::vector<DistanceId>& hits) {
  RankedList list;
  list.reserve(hits.size());
  for (const auto& [distance, id] : hits) {
    if (is_tombstoned(c.hnsw, id)) continue;
    list.emplace_back(id, similarity(distance));
  }
  return list;
}

std::vector<ScoredDocument> fuse_and_resolve(const Collection& c, const RankedList& vector,
                                             const RankedList& keyword,
                                             const SearchRequest& request) {
  const RankedList fused = request.fusion_method == "linear"
                               ? linear_fusion(vector, keyword, request.k, request.alpha)
                               : rrf_fusion(vector, keyword, request.k);
  std::vector<ScoredDocument> out;
  out.reserve(fused.size());
  for (const auto& [id, score] : fused) {
    if (below_threshold(score, request.min_similarity)) continue;
    append_resolved(c, id, score, out);
  }
  return out;
}

// Each side is asked for k candidates; fusion keeps at most k.
std::vector<ScoredDocument> hybrid_search(const Collection& c, std::span<const float> query,
                                          const SearchRequest& request) {
  const uint64_t k = bounded_k(c, request.k);
  const RankedList vector = to_vector_list(c, knn_search(c.hnsw, query, k, request_ef(request)));
  const RankedList keyword = bm25_search(c.inverted_index, *request.query_text, k);
  return fuse_and_resolve(c, vector, keyword, request);
}

// The vector side takes the filter into the graph walk; the keyword side is
// filtered after BM25's top-k cut, so it may hold fewer than k entries.
std::vector<ScoredDocument> hybrid_search_filtered(const Collection& c,
                                                   std::span<const float> query,
                                                   const SearchRequest& request,
                                                   const Filter& filter) {
  const uint64_t k = bounded_k(c, request.k);
  const AdmittedSet admitted = admit(c, filter);
  const RankedList vector =
      to_vector_list(c, filtered_knn(c, query, k, admitted, request_ef(request)));
  RankedList keyword = bm25_search(c.inverted_index, *request.query_text, k);
  std::erase_if(keyword, [&](const auto& hit) { return !admitted.contains(hit.first); });
  return fuse_and_resolve(c, vector, keyword, request);
}

}  // namespace

Status check_query_embedding(const Collection& collection, std::span<const float> query) {
  if (query.size() != collection.dimension) {
    return Status::InvalidArgument("query embedding has " + std::to_string(query.size()) +
                                   " dimensions, but collection '" + collection.name +
                                   "' expects " + std::to_string(collection.dimension));
  }
  if (!std::all_of(query.begin(), query.end(), [](float x) { return std::isfinite(x); })) {
    return Status::InvalidArgument("query embedding contains NaN or infinite values");
  }
  return Status::Ok();
}

Result<std::vector<ScoredDocument>> search_collection(const LockedCollection& locked,
                                                      const SearchRequest& request) {
  if (!request.query_embedding.has_value() && !request.query_text.has_value()) {
    return Status::InvalidArgument("at least one of query_embedding or query_text is required");
  }

  std::shared_lock guard(locked.lock);
  const Collection& c = locked.data;

  if (!request.query_embedding.has_value()) {
    return keyword_search(c, *request.query_text, request.k);
  }
  const std::span<const float> query = *request.query_embedding;
  if (Status s = check_query_embedding(c, query); !s.ok()) return s;
  if (request.k == 0) return std::vector<ScoredDocument>{};

  if (!request.query_text.has_value()) {
    return request.filter.has_value()
               ? vector_search_filtered(c, query, request.k, request.min_similarity,
                                        *request.filter, request_ef(request))
               : vector_search(c, query, request.k, request.min_similarity, request_ef(request));
  }
  return request.filter.has_value() ? hybrid_search_filtered(c, query, request, *request.filter)
                                    : hybrid_search(c, query, request);
}

}  // namespace tessarine
