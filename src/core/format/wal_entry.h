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

using WalEntry = std::variant<CreateCollectionEntry, DeleteCollectionEntry, InsertDocumentEntry,
                              DeleteDocumentEntry, BatchInsertEntry, UpdateDocumentEntry>;

}  // namespace tessarine
