// Document operations on one collection. They keep its five structures in
// step: the documents map, the two id tables, the HNSW index and the
// inverted index. Each takes the collection's lock itself (exclusive for
// changes, shared for reads).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/collection/document.h"

namespace tessarine {

// Checks that an embedding can enter the collection: its length equals the
// collection's dimension and every component is finite (a NaN would break
// the graph's ordering for every later query).
Status check_embedding(const Collection& collection, std::span<const float> embedding);

// Inserts a document with its embedding. Fails (changing nothing) when the
// embedding fails check_embedding or the id belongs to a live document
// ("document '{}' already exists"). An id that was deleted since the last
// rebuild gets a new internal id; its old graph node and id-table slot stay
// as a tombstone under a fresh placeholder id, so both id tables keep one
// entry per internal id.
Result<Uuid> insert_document(LockedCollection& collection, Document document,
                             std::span<const float> embedding);

// True when the id was a live document. The node stays as a tombstone.
bool delete_document(LockedCollection& collection, const Uuid& id);

// Another owner of the stored document, or nullptr when it is not live.
std::shared_ptr<const Document> get_document(const LockedCollection& collection, const Uuid& id);

// True when the id is a live document.
bool contains_document(const LockedCollection& collection, const Uuid& id);

// Approximate bytes held by the collection's documents and indexes.
uint64_t estimate_memory_bytes(const LockedCollection& collection);
// The same, for a caller that already holds the collection's lock.
uint64_t estimate_memory_bytes_locked(const Collection& collection);

// Calls fn(internal id, document) for every live document in internal-id
// order, which is insertion order (a rebuild keeps it). The caller holds the
// collection's lock.
template <typename Fn>
void for_each_live_document(const Collection& c, Fn&& fn) {
  for (uint32_t internal = 0; internal < c.internal_to_uuid.size(); ++internal) {
    // A deleted or replaced slot's id is no longer live, or is live elsewhere.
    auto slot = c.uuid_to_internal.find(c.internal_to_uuid[internal]);
    if (slot == c.uuid_to_internal.end() || slot->second != internal) continue;
    auto it = c.documents.find(slot->first);
    if (it != c.documents.end()) fn(internal, it->second);
  }
}

// Builds the metadata index from the live documents (after a snapshot is
// loaded). The caller holds the collection exclusively or owns it alone.
void rebuild_metadata_index(Collection& collection);

// The live documents in insertion order (the order of their internal ids).
std::vector<std::shared_ptr<const Document>> live_documents(const LockedCollection& collection);

// Number of live documents.
uint64_t document_count(const LockedCollection& collection);

}  // namespace tessarine
