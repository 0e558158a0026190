#include "core/db/database.h"

#include <memory>
#include <mutex>
#include <shared_mutex>

namespace tessarine {

Status Database::create_collection(std::string name, uint64_t dimension,
                                   std::optional<HnswConfig> config) {
  std::unique_lock guard(lock_);
  return create_locked(std::move(name), dimension, config.value_or(HnswConfig{}));
}

bool Database::delete_collection(std::string_view name) {
  CollectionHandle removed;  // released after the lock, outside the critical section
  std::unique_lock guard(lock_);
  removed = erase_locked(name);
  return removed != nullptr;
}

CollectionHandle Database::get_collection(std::string_view name) const {
  std::shared_lock guard(lock_);
  return find_locked(name);
}

std::vector<std::string> Database::list_collections() const {
  std::shared_lock guard(lock_);
  std::vector<std::string> names;
  names.reserve(collections_.size());
  for (const auto& [name, handle] : collections_) names.push_back(name);
  return names;
}

Status Database::insert_or_replace(std::string name, CollectionHandle handle) {
  CollectionHandle previous;
  std::unique_lock guard(lock_);
  for (const auto& [other_name, other] : collections_) {
    if (other == handle && other_name != name) {
      return Status::InvalidArgument("collection is already registered as '" + other_name + "'");
    }
  }
  previous = find_locked(name);
  replace_locked(std::move(name), std::move(handle));
  return Status::Ok();
}

void Database::replace_locked(std::string name, CollectionHandle handle) {
  collections_.insert_or_assign(std::move(name), std::move(handle));
}

std::size_t Database::size() const {
  std::shared_lock guard(lock_);
  return collections_.size();
}

CollectionHandle Database::find_locked(std::string_view name) const {
  auto it = collections_.find(as_key(name));
  return it == collections_.end() ? nullptr : it->second;
}

Status Database::create_locked(std::string name, uint64_t dimension, const HnswConfig& config) {
  if (collections_.contains(name)) {
    return Status::AlreadyExists("Collection '" + name + "' already exists");
  }
  auto handle = std::make_shared<LockedCollection>(Collection(name, dimension, config));
  collections_.emplace(std::move(name), std::move(handle));
  return Status::Ok();
}

CollectionHandle Database::erase_locked(std::string_view name) {
  auto it = collections_.find(as_key(name));
  if (it == collections_.end()) return nullptr;
  CollectionHandle removed = std::move(it->second);
  collections_.erase(it);
  return removed;
}

}  // namespace tessarine
