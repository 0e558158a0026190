#include "core/db/apply.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "core/collection/collection_ops.h"

namespace tessarine {
namespace {

void keep_first_failure(Status* first, Status status) {
  if (first->ok() && !status.ok()) *first = std::move(status);
}

void insert_one(LockedCollection& collection, Document&& document,
                const std::vector<float>& embedding, AppliedChange* change, Status* failure) {
  Result<Uuid> inserted = insert_document(collection, std::move(document), embedding);
  if (inserted.ok()) {
    change->inserted.push_back(*inserted);
  } else {
    keep_first_failure(failure, inserted.status());
  }
}

}  // namespace

Status apply_collection_entry(Database& registry, WalEntry&& entry, bool* existed) {
  if (auto* create = std::get_if<CreateCollectionEntry>(&entry)) {
    return registry.create_locked(std::move(create->name), create->dimension, create->config);
  }
  if (auto* drop = std::get_if<DeleteCollectionEntry>(&entry)) {
    CollectionHandle removed = registry.erase_locked(drop->name);
    if (existed != nullptr) *existed = removed != nullptr;
    return Status::Ok();
  }
  return Status::InvalidArgument("not a collection entry");
}

Result<AppliedChange> apply_document_entry(LockedCollection& collection, WalEntry&& entry) {
  AppliedChange change;
  Status failure;
  std::visit(
      [&](auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, InsertDocumentEntry>) {
          insert_one(collection, std::move(e.document), e.embedding, &change, &failure);
        } else if constexpr (std::is_same_v<E, BatchInsertEntry>) {
          for (auto& [document, embedding] : e.documents) {
            insert_one(collection, std::move(document), embedding, &change, &failure);
          }
        } else if constexpr (std::is_same_v<E, DeleteDocumentEntry>) {
          change.deleted += delete_document(collection, e.id) ? 1 : 0;
        } else if constexpr (std::is_same_v<E, UpdateDocumentEntry>) {
          // A replacement: the old version goes, the new one comes in whole.
          change.deleted += delete_document(collection, e.id) ? 1 : 0;
          insert_one(collection, std::move(e.document), e.embedding, &change, &failure);
        } else if constexpr (std::is_same_v<E, BatchWriteEntry>) {
          for (const Uuid& id : e.deletes)
            change.deleted += delete_document(collection, id) ? 1 : 0;
          for (auto& [document, embedding] : e.inserts) {
            insert_one(collection, std::move(document), embedding, &change, &failure);
          }
        } else {
          failure = Status::InvalidArgument("not a document entry");
        }
      },
      entry);
  if (!failure.ok()) return failure;
  return change;
}

const std::string* entry_collection(const WalEntry& entry) {
  return std::visit(
      [](const auto& e) -> const std::string* {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CreateCollectionEntry> ||
                      std::is_same_v<E, DeleteCollectionEntry>) {
          return nullptr;
        } else {
          return &e.collection;
        }
      },
      entry);
}

void apply_entry(Database& registry, WalEntry&& entry) {
  const std::string* name = entry_collection(entry);
  if (name == nullptr) {
    (void)apply_collection_entry(registry, std::move(entry));
    return;
  }
  CollectionHandle handle = registry.find_locked(*name);
  if (handle != nullptr) (void)apply_document_entry(*handle, std::move(entry));
}

}  // namespace tessarine
