// The Engine's reads by id and by filter: count, get_many and find. Each
// reads one collection under its shared lock.
#include <shared_mutex>

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

}  // namespace tessarine
