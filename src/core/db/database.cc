#include "core/db/database.h"

#include <memory>
#include <mutex>
#include <shared_mutex>

#include "core/collection/rebuild.h"

namespace tessarine {

Status Database::create_collection(std::string name, uint64_t dimension,
                                   std::optional<HnswConfig> config) {
  std::unique_lock guard(lock_);
  if (collections_.contains(name)) {
    return Status::AlreadyExists("Collection '" + name + "' already exists");
  }
  auto handle = std::make_shared<LockedCollection>(
      Collection(name, dimension, config.value_or(HnswConfig{})));
  collections_.emplace(std::move(name), std::move(handle));
  return Status::Ok();
}

bool Database::delete_collection(std::string_view name) {
  CollectionHandle removed;  // released after the lock, outside the critical section
  std::unique_lock guard(lock_);
  auto it = collections_.find(as_key(name));
  if (it == collections_.end()) return false;
  removed = std::move(it->second);
  collections_.erase(it);
  return true;
}

CollectionHandle Database::get_collection(std::string_view name) const {
  std::shared_lock guard(lock_);
  auto it = collections_.find(as_key(name));
  return it == collections_.end() ? nullptr : it->second;
}

std::vector<std::string> Database::list_collections() const {
  std::shared_lock guard(lock_);
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, handle] : collections_) names.push_back(name);
  return names;
}

void Database::insert_or_replace(std::string name, CollectionHandle handle) {
  CollectionHandle previous;
  std::unique_lock guard(lock_);
  auto [it, inserted] = collections_.try_emplace(std::move(name), handle);
  if (!inserted) {
    previous = std::move(it->second);
    it->second = std::move(handle);
  }
}

std::size_t Database::size() const {
  std::shared_lock guard(lock_);
  return collections_.size();
}

Result<uint64_t> rebuild(const Database& database, std::string_view name) {
  CollectionHandle handle = database.get_collection(name);
  if (handle == nullptr) {
    return Status::NotFound("collection '" + std::string(name) + "' not found");
  }
  return rebuild(*handle);
}

}  // namespace tessarine
