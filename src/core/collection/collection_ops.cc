#include "core/collection/collection_ops.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "core/quantization/scalar.h"

namespace tessarine {
namespace {

// A fresh id that names no document and no slot of the collection, used to
// keep a retired internal id's slot in both id tables.
Uuid unused_placeholder_id(const Collection& c) {
  Uuid id;
  do {
    id = generate_uuid_v4();
  } while (c.uuid_to_internal.contains(id) || c.documents.contains(id));
  return id;
}

}  // namespace

Status check_embedding(const Collection& collection, std::span<const float> embedding) {
  if (embedding.size() != collection.dimension) {
    return Status::InvalidArgument("embedding has " + std::to_string(embedding.size()) +
                                   " dimensions, but collection '" + collection.name +
                                   "' expects " + std::to_string(collection.dimension));
  }
  for (float x : embedding) {
    if (!std::isfinite(x)) {
      return Status::InvalidArgument("embedding contains NaN or infinite values");
    }
  }
  return Status::Ok();
}

Result<Uuid> insert_document(LockedCollection& locked, Document document,
                             std::span<const float> embedding) {
  if (Status s = check_embedding(locked.data, embedding); !s.ok()) return s;
  QuantizedVector quantized = QuantizedVector::quantize(embedding);

  std::unique_lock guard(locked.lock);
  Collection& c = locked.data;
  const Uuid id = document.id;
  if (c.documents.contains(id)) {
    return Status::InvalidArgument("document '" + format_uuid(id) + "' already exists");
  }
  if (c.internal_to_uuid.size() >= std::numeric_limits<uint32_t>::max()) {
    return Status::InvalidArgument("collection '" + c.name + "' is full (2^32 - 1 internal ids)");
  }
  const auto internal_id = static_cast<uint32_t>(c.internal_to_uuid.size());

  if (auto previous = c.uuid_to_internal.find(id); previous != c.uuid_to_internal.end()) {
    // A deleted document's id comes back: its old slot keeps a placeholder.
    // The slot is copied out first: the emplace may rehash and free `previous`.
    const uint32_t old_slot = previous->second;
    const Uuid placeholder = unused_placeholder_id(c);
    c.internal_to_uuid[old_slot] = placeholder;
    c.uuid_to_internal.emplace(placeholder, old_slot);
  }
  c.uuid_to_internal[id] = internal_id;
  c.internal_to_uuid.push_back(id);
  c.inverted_index.add_document(internal_id, document.text);
  c.metadata_index.add(internal_id, document.metadata);
  c.hnsw.insert(internal_id, embedding, std::move(quantized));
  c.documents.emplace(id, std::make_shared<const Document>(std::move(document)));
  return id;
}

bool delete_document(LockedCollection& locked, const Uuid& id_ref) {
  const Uuid id = id_ref;  // the caller may pass a reference into the documents map itself
  std::shared_ptr<const Document> removed;  // freed after the lock is released
  std::unique_lock guard(locked.lock);
  Collection& c = locked.data;
  auto it = c.documents.find(id);
  if (it == c.documents.end()) return false;
  removed = std::move(it->second);
  c.documents.erase(it);

  auto internal = c.uuid_to_internal.find(id);
  if (internal == c.uuid_to_internal.end()) return true;
  const uint32_t internal_id = internal->second;
  if (internal_id < c.hnsw.deleted.size()) c.hnsw.deleted[internal_id] = 1;
  c.inverted_index.remove_document(internal_id);
  c.metadata_index.remove(internal_id, removed->metadata);
  return true;
}

std::shared_ptr<const Document> get_document(const LockedCollection& locked, const Uuid& id) {
  std::shared_lock guard(locked.lock);
  auto it = locked.data.documents.find(id);
  return it == locked.data.documents.end() ? nullptr : it->second;
}

bool contains_document(const LockedCollection& locked, const Uuid& id) {
  std::shared_lock guard(locked.lock);
  return locked.data.documents.contains(id);
}

uint64_t document_count(const LockedCollection& locked) {
  std::shared_lock guard(locked.lock);
  return locked.data.documents.size();
}

std::vector<std::shared_ptr<const Document>> live_documents(const LockedCollection& locked) {
  std::shared_lock guard(locked.lock);
  const Collection& c = locked.data;
  std::vector<std::shared_ptr<const Document>> out;
  out.reserve(c.documents.size());
  for_each_live_document(c, [&](uint32_t, const std::shared_ptr<const Document>& document) {
    out.push_back(document);
  });
  return out;
}

void rebuild_metadata_index(Collection& c) {
  std::vector<std::pair<uint32_t, const Metadata*>> live;
  live.reserve(c.documents.size());
  for_each_live_document(c, [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
    live.emplace_back(internal, &doc->metadata);
  });
  c.metadata_index.assign(live);
}

uint64_t estimate_memory_bytes_locked(const Collection& c) {
  const HnswIndex& h = c.hnsw;
  uint64_t bytes = h.vector_data.size() + c.metadata_index.memory_bytes();
  bytes += 4 * (h.vector_min.size() + h.vector_scale.size() + h.raw_vectors.size());
  bytes += h.pq_codes.size();
  if (h.pq_codebook) bytes += 4 * h.pq_codebook->centroids.size();
  bytes += h.neighbors.memory_bytes() + 8 * h.code_norms.size() +
           sizeof(CodeStats) * h.code_stats.size();
  bytes += h.layers.size() + h.deleted.size();
  for (const auto& [term, postings] : c.inverted_index.postings) {
    bytes += 48 + term.size() + 8 * postings.size();
  }
  bytes += 4 * c.inverted_index.doc_lengths.size();
  for (const auto& [id, document] : c.documents) {
    bytes += 80 + document->text.size() + 64 * document->metadata.size();
  }
  bytes += 16 * c.internal_to_uuid.size() + 24 * c.uuid_to_internal.size();
  return bytes;
}

uint64_t estimate_memory_bytes(const LockedCollection& locked) {
  std::shared_lock guard(locked.lock);
  return estimate_memory_bytes_locked(locked.data);
}

}  // namespace tessarine
