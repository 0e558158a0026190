#include "core/db/data_directory.h"

#include "core/format/persistence.h"

namespace tessarine {

namespace fs = std::filesystem;

bool is_snapshot_file_name(const std::string& file_name) {
  const std::size_t dot = file_name.rfind('.');
  return dot != std::string::npos && dot != 0 &&
         file_name.compare(dot + 1, std::string::npos, "tsr") == 0;
}

Result<std::vector<CollectionHandle>> load_snapshots(Env& env, const fs::path& dir,
                                                     const EncryptionKey* key,
                                                     std::vector<std::string>* unreadable) {
  auto names = env.list_dir(dir);
  if (!names.ok()) return names.status();
  std::vector<CollectionHandle> loaded;
  for (const std::string& name : *names) {
    if (!is_snapshot_file_name(name)) continue;
    Result<CollectionHandle> handle = load_collection(env, dir / name, key);
    if (handle.ok()) {
      loaded.push_back(std::move(handle).value());
    } else if (unreadable != nullptr) {
      unreadable->push_back(name);
    }
  }
  return loaded;
}

Status move_unreadable_snapshot(Env& env, const fs::path& dir, const std::string& file_name) {
  auto names = env.list_dir(dir);
  if (!names.ok()) return names.status();
  const HashSet<std::string> taken(names->begin(), names->end());
  std::string target;
  for (uint64_t n = 1;; ++n) {
    target = file_name + ".unreadable-" + std::to_string(n);
    if (!taken.contains(target)) break;
  }
  if (Status s = env.rename(dir / file_name, dir / target); !s.ok()) return s;
  return env.sync_dir(dir);
}

Status remove_stale_snapshots(Env& env, const fs::path& dir, const HashSet<std::string>& keep) {
  auto names = env.list_dir(dir);
  if (!names.ok()) return names.status();
  bool removed = false;
  for (const std::string& name : *names) {
    if (!is_snapshot_file_name(name) || keep.contains(name)) continue;
    if (Status status = env.remove(dir / name); !status.ok()) return status;
    removed = true;
  }
  // The removals become durable with the directory.
  return removed ? env.sync_dir(dir) : Status::Ok();
}

}  // namespace tessarine
