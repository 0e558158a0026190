// The changes the write-ahead log records. The variant index is the
// persisted variant index.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/collection/document.h"
#include "core/hnsw/config.h"

namespace tessarine {

struct CreateCollectionEntry {
  std::string name;
  uint64_t dimension = 0;
  HnswConfig config;
};
struct DeleteCollectionEntry {
  std::string name;
};
struct InsertDocumentEntry {
  std::string collection;
  Document document;
  std::vector<float> embedding;
};
struct DeleteDocumentEntry {
  std::string collection;
  Uuid id;
};
struct BatchInsertEntry {
  std::string collection;
  std::vector<std::pair<Document, std::vector<float>>> documents;
};
struct UpdateDocumentEntry {
  std::string collection;
  Uuid id;
  Document document;
  std::vector<float> embedding;
};

// Several changes to one collection that must be applied together or not at
// all (a batch upsert that replaces documents, a delete by filter): every
// id in `deletes` is deleted, then every document in `inserts` is inserted.
// Written only for such changes; the older kinds above stay what simple
// writes log.
struct BatchWriteEntry {
  std::string collection;
  std::vector<Uuid> deletes;
  std::vector<std::pair<Document, std::vector<float>>> inserts;
};

using WalEntry =
    std::variant<CreateCollectionEntry, DeleteCollectionEntry, InsertDocumentEntry,
                 DeleteDocumentEntry, BatchInsertEntry, UpdateDocumentEntry, BatchWriteEntry>;

}  // namespace tessarine
