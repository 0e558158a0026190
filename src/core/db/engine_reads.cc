// The Engine's reads by id and by filter: count, get_many and find. Each
// reads one collection under its shared lock.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "core/collection/collection_ops.h"
#include "core/collection/filter_plan.h"
#include "core/db/engine.h"

namespace tessarine {
namespace {

StoredDocument stored(const Collection& c, uint32_t internal,
                      const std::shared_ptr<const Document>& document, bool include_embedding) {
  StoredDocument out{document, {}};
  if (include_embedding && internal < c.hnsw.node_count)
    out.embedding = c.hnsw.node_vector(internal);
  return out;
}

}  // namespace

Result<uint64_t> Engine::count(const std::string& collection,
                               const std::optional<Filter>& filter) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return Status::NotFound("collection '" + collection + "' not found");
  std::shared_lock guard(handle->lock);
  const Collection& c = handle->data;
  if (!filter) return static_cast<uint64_t>(c.documents.size());
  return static_cast<uint64_t>(admit(c, *filter).size());
}

Result<std::vector<std::optional<StoredDocument>>> Engine::get_many(const std::string& collection,
                                                                    const std::vector<Uuid>& ids,
                                                                    bool include_embedding) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return Status::NotFound("collection '" + collection + "' not found");
  std::shared_lock guard(handle->lock);
  const Collection& c = handle->data;
  std::vector<std::optional<StoredDocument>> out;
  out.reserve(ids.size());
  for (const Uuid& id : ids) {
    auto document = c.documents.find(id);
    auto internal = c.uuid_to_internal.find(id);
    if (document == c.documents.end() || internal == c.uuid_to_internal.end()) {
      out.emplace_back();
    } else {
      out.emplace_back(stored(c, internal->second, document->second, include_embedding));
    }
  }
  return out;
}

Result<std::vector<StoredDocument>> Engine::find(const std::string& collection,
                                                 const std::optional<Filter>& filter,
                                                 uint64_t offset, std::optional<uint64_t> limit,
                                                 bool include_embedding) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return Status::NotFound("collection '" + collection + "' not found");
  std::shared_lock guard(handle->lock);
  const Collection& c = handle->data;
  std::vector<StoredDocument> out;
  uint64_t skipped = 0;
  const auto take = [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
    if (limit && out.size() >= *limit) return;
    if (skipped < offset) {
      ++skipped;
      return;
    }
    out.push_back(stored(c, internal, doc, include_embedding));
  };
  if (!filter) {
    for_each_live_document(c, take);
    return out;
  }
  // Admitted ids ascend, which is insertion order.
  for (uint32_t internal : admit(c, *filter).ids) {
    if (limit && out.size() >= *limit) break;
    take(internal, c.documents.at(c.internal_to_uuid[internal]));
  }
  return out;
}

Result<std::vector<std::vector<ScoredDocument>>> Engine::search_batch(
    const std::string& collection, std::vector<std::vector<float>> queries,
    const SearchRequest& request, unsigned threads) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return Status::NotFound("collection '" + collection + "' not found");
  std::vector<SearchRequest> requests(queries.size(), request);
  {
    std::shared_lock guard(handle->lock);
    for (std::size_t i = 0; i < queries.size(); ++i) {
      if (Status s = check_query_embedding(handle->data, queries[i]); !s.ok()) return s;
      requests[i].query_embedding = std::move(queries[i]);
    }
  }
  std::vector<std::vector<ScoredDocument>> results(requests.size());
  std::atomic<std::size_t> next{0};
  std::mutex failure_mutex;
  Status failure;
  const auto work = [&] {
    for (std::size_t i = next++; i < requests.size(); i = next++) {
      auto found = search_collection(*handle, requests[i]);
      if (found.ok()) {
        results[i] = std::move(found).value();
      } else {
        std::lock_guard guard(failure_mutex);
        if (failure.ok()) failure = found.status();
      }
    }
  };
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t helpers =
      std::min<std::size_t>(threads, requests.size()) - (requests.empty() ? 0 : 1);
  std::vector<std::thread> pool;
  pool.reserve(helpers);
  for (std::size_t t = 0; t < helpers; ++t) pool.emplace_back(work);
  work();  // the calling thread searches too
  for (std::thread& thread : pool) thread.join();
  if (!failure.ok()) return failure;
  return results;
}

}  // namespace tessarine
