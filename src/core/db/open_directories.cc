#include "core/db/open_directories.h"

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "core/base/hash_map.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

struct OpenDirectories {
  std::mutex mutex;
  std::condition_variable closed;  // an entry was erased
  // Canonical path -> the open database. Entries are erased by the last
  // owner's deleter, under the mutex, after the database has closed (so a
  // new open never races the old one's lock file).
  HashMap<std::string, std::weak_ptr<Engine>> engines;
};

OpenDirectories& table() {
  static OpenDirectories* directories = new OpenDirectories;  // never destroyed
  return *directories;
}

std::string canonical_key(const std::string& data_dir) {
  std::error_code ec;
  fs::path absolute = fs::absolute(data_dir, ec);
  if (ec) return data_dir;
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  std::string key = (ec ? absolute.lexically_normal() : canonical).string();
  while (key.size() > 1 && key.back() == '/') key.pop_back();  // "d/" and "d/." are "d"
  return key;
}

bool same_key(const std::shared_ptr<const EncryptionKey>& a,
              const std::shared_ptr<const EncryptionKey>& b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->same_key_as(*b);
}

}  // namespace

Result<std::shared_ptr<Engine>> open_database(const std::string& data_dir,
                                              std::shared_ptr<const EncryptionKey> key, Env& env,
                                              CheckpointPolicy policy) {
  const std::string path = canonical_key(data_dir);
  std::shared_ptr<Engine> shared;  // released after the mutex: it may be the last owner
  OpenDirectories& directories = table();
  std::unique_lock guard(directories.mutex);
  for (auto it = directories.engines.find(path); it != directories.engines.end();
       it = directories.engines.find(path)) {
    shared = it->second.lock();
    if (shared == nullptr) {
      // Its last owner let go and its deleter is closing it: wait until the
      // lock file is released before opening the directory again.
      directories.closed.wait(guard);
    } else {
      if (!same_key(shared->key(), key)) {
        return Status::InvalidArgument("data directory '" + data_dir +
                                       "' is already open with a different encryption key");
      }
      return shared;
    }
  }
  auto opened = Engine::open(data_dir, std::move(key), env, policy);
  if (!opened.ok()) return opened.status();
  Engine* engine = opened->release();
  shared = std::shared_ptr<Engine>(engine, [path](Engine* closing) {
    OpenDirectories& directories = table();
    std::lock_guard guard(directories.mutex);
    delete closing;
    directories.engines.erase(path);
    directories.closed.notify_all();
  });
  directories.engines.insert_or_assign(path, shared);
  return shared;
}

}  // namespace tessarine
