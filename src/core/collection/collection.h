// A collection: one named set of documents of a fixed embedding length with
// its vector index, keyword index and the two id tables. A Collection is
// never shared bare: it lives inside a LockedCollection held by shared
// ownership (CollectionHandle), so an operation that resolved it keeps a valid
// collection even if it is deleted from the registry meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/hash_map.h"
#include "core/base/rwlock.h"
#include "core/bm25/inverted_index.h"
#include "core/collection/document.h"
#include "core/collection/metadata_index.h"
#include "core/collection/write_pipeline.h"
#include "core/hnsw/config.h"
#include "core/hnsw/graph.h"

namespace tessarine {

// Field order is the persisted order.
struct Collection {
  std::string name;
  uint64_t dimension = 0;
  HashMap<Uuid, std::shared_ptr<const Document>> documents;  // the live documents
  HnswIndex hnsw;
  InvertedIndex inverted_index;
  HashMap<Uuid, uint32_t> uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;  // position i: the UUID that received internal id i
  // Not persisted: rebuilt from the documents when a snapshot is loaded.
  MetadataIndex metadata_index;

  Collection() = default;
  Collection(std::string name, uint64_t dimension, const HnswConfig& config)
      : name(std::move(name)), dimension(dimension), hnsw(config, dimension) {}
};

// A collection behind its own task-fair reader-writer lock: shared for
// searches, snapshots and size queries, exclusive for changes.
struct LockedCollection {
  mutable RwLock lock;
  // Held by the database while a change is checked and takes its place in
  // the log, and for changes that need the collection to themselves until
  // they are applied, so that the log holds one collection's changes in the
  // order memory gets them. Taken before `lock`; searches never take it.
  std::mutex write_mutex;
  // Changes that wait for the disk without write_mutex (see WritePipeline).
  WritePipeline pipeline;
  Collection data;

  LockedCollection() = default;
  explicit LockedCollection(Collection c) : data(std::move(c)) {}
};

using CollectionHandle = std::shared_ptr<LockedCollection>;

}  // namespace tessarine
