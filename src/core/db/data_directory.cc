#include "core/db/data_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/format/persistence.h"

namespace tessarine {

namespace fs = std::filesystem;

bool is_snapshot_file_name(const std::string& file_name) {
  const std::size_t dot = file_name.rfind('.');
  return dot != std::string::npos && dot != 0 && file_name.compare(dot + 1, std::string::npos, "tsr") == 0;
}

Result<std::vector<CollectionHandle>> load_snapshots(const fs::path& dir, const EncryptionKey* key) {
  std::vector<CollectionHandle> loaded;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (!is_snapshot_file_name(it->path().filename().string())) continue;
    Result<CollectionHandle> handle = load_collection(it->path(), key);
    if (handle.ok()) loaded.push_back(std::move(handle).value());
  }
  if (ec) return Status::Io(ec.message());
  return loaded;
}

Status remove_stale_snapshots(const fs::path& dir, const HashSet<std::string>& keep) {
  std::error_code ec;
  std::vector<fs::path> stale;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (is_snapshot_file_name(name) && !keep.contains(name)) stale.push_back(it->path());
  }
  if (ec) return Status::Io(ec.message());
  if (stale.empty()) return Status::Ok();
  for (const fs::path& path : stale) {
    if (!fs::remove(path, ec) && ec) return Status::Io(ec.message());
  }
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::Io(std::strerror(errno));
  const int synced = ::fsync(fd);
  ::close(fd);
  if (synced != 0) return Status::Io(std::strerror(errno));
  return Status::Ok();
}

}  // namespace tessarine
