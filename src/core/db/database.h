// The registry of collections: name -> CollectionHandle behind one
// reader-writer lock. Names are arbitrary UTF-8 strings compared byte for
// byte. A handle is registered under one name at most. Lock order: the
// registry lock before any collection's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash_map.h"
#include "core/base/rwlock.h"
#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/hnsw/config.h"

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

  // Registers a ready collection, releasing any handle stored under the
  // name. Fails (kInvalidArgument, changing nothing) when the handle is
  // already registered under another name: one collection, one name.
  Status insert_or_replace(std::string name, CollectionHandle handle);

  // Calls fn(name, handle) for every collection under the registry's shared
  // lock; used to sum sizes across collections.
  template <typename Fn>
  void for_each_collection(Fn&& fn) const {
    std::shared_lock guard(lock_);
    for (const auto& [name, handle] : collections_) fn(name, handle);
  }

  std::size_t size() const;

  // The same operations for a caller that holds lock() itself (shared for
  // find_locked, exclusive for the others), so that it can make a change
  // and write its log entry as one step.
  RwLock& lock() const { return lock_; }
  CollectionHandle find_locked(std::string_view name) const;
  Status create_locked(std::string name, uint64_t dimension, const HnswConfig& config);
  CollectionHandle erase_locked(std::string_view name);
  // Registers `handle` under `name`, releasing what was there; the caller
  // makes sure the handle has no other name.
  void replace_locked(std::string name, CollectionHandle handle);

 private:
  mutable RwLock lock_;
  HashMap<std::string, CollectionHandle> collections_;
};

}  // namespace tessarine
