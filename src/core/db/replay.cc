// Applying the write-ahead log's entries to the registry when a data
// directory is opened. Replaying entries whose changes the snapshots already
// hold changes nothing: inserts of live ids are skipped, deletes of absent
// ids do nothing, and creating an existing collection is ignored.
#include <mutex>
#include <shared_mutex>
#include <type_traits>

#include "core/collection/collection_ops.h"
#include "core/db/database.h"

namespace tessarine {
namespace {

// Insertion of a logged document, unless the collection already holds its
// id. A logged embedding that does not fit the collection is skipped too.
void insert_unless_present(LockedCollection& collection, const Document& document,
                           const std::vector<float>& embedding) {
  if (contains_document(collection, document.id)) return;
  (void)insert_document(collection, document, embedding);
}

}  // namespace

void Database::replay_wal(const std::vector<WalEntry>& entries) {
  for (const WalEntry& entry : entries) {
    std::visit(
        [&](const auto& e) {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, CreateCollectionEntry>) {
            (void)create_collection(e.name, e.dimension, e.config);
          } else if constexpr (std::is_same_v<E, DeleteCollectionEntry>) {
            delete_collection(e.name);
          } else {
            CollectionHandle handle = get_collection(e.collection);
            if (handle == nullptr) return;
            if constexpr (std::is_same_v<E, InsertDocumentEntry>) {
              insert_unless_present(*handle, e.document, e.embedding);
            } else if constexpr (std::is_same_v<E, DeleteDocumentEntry>) {
              delete_document(*handle, e.id);
            } else if constexpr (std::is_same_v<E, BatchInsertEntry>) {
              for (const auto& [document, embedding] : e.documents) {
                insert_unless_present(*handle, document, embedding);
              }
            } else if constexpr (std::is_same_v<E, UpdateDocumentEntry>) {
              delete_document(*handle, e.id);
              (void)insert_document(*handle, e.document, e.embedding);
            }
          }
        },
        entry);
  }
}

}  // namespace tessarine
