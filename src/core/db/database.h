// The registry of collections: name -> CollectionHandle behind one
// reader-writer lock. Names are arbitrary UTF-8 strings compared byte for
// byte. Lock order: the registry lock before any collection's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash_map.h"
#include "core/hnsw/config.h"
#include "core/base/rwlock.h"
#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/format/wal_entry.h"

#include <shared_mutex>

namespace tessarine {

class Database {
 public:
  // Fails with "Collection '{}' already exists" when the name is taken; the
  // existing collection is left untouched. The default configuration is used
  // when none is given.
  Status create_collection(std::string name, uint64_t dimension,
                           std::optional<HnswConfig> config = std::nullopt);

  // True when a collection of that name existed.
  bool delete_collection(std::string_view name);

  // A new owner of the named collection, or nullptr.
  CollectionHandle get_collection(std::string_view name) const;

  // The names in the registry's (unspecified) iteration order.
  std::vector<std::string> list_collections() const;

  // Registers a ready collection, releasing any handle stored under the name.
  void insert_or_replace(std::string name, CollectionHandle handle);

  // Calls fn(name, handle) for every collection under the registry's shared
  // lock; used to sum sizes across collections.
  template <typename Fn>
  void for_each_collection(Fn&& fn) const {
    std::shared_lock guard(lock_);
    for (const auto& [name, handle] : collections_) fn(name, handle);
  }

  std::size_t size() const;

  // Applies logged changes in order (replay at open). Never fails: entries
  // for missing collections are skipped, inserts of live ids are skipped,
  // a failing create is ignored.
  void replay_wal(const std::vector<WalEntry>& entries);

 private:
  mutable RwLock lock_;
  HashMap<std::string, CollectionHandle> collections_;
};

// Rebuilds the named collection's indexes; "collection '{}' not found"
// (kNotFound) when there is none.
Result<uint64_t> rebuild(const Database& database, std::string_view name);

}  // namespace tessarine
