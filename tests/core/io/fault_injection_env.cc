#include "io/fault_injection_env.h"

#include <algorithm>
#include <utility>

namespace tessarine::testing {

namespace fs = std::filesystem;

namespace {

// One spelling per file, so "dir/a", "dir//a" and "dir/./a" track together.
fs::path key_of(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path()) normal = normal.parent_path();
  return normal.empty() ? fs::path(".") : normal;
}

fs::path dir_of(const fs::path& path) {
  const fs::path parent = key_of(path).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

}  // namespace

// A WritableFile whose writes, syncs and truncations pass through the Env.
class FaultInjectionEnv::File final : public WritableFile {
 public:
  File(FaultInjectionEnv& env, std::unique_ptr<WritableFile> base)
      : env_(env), base_(std::move(base)) {}

  Status append(std::span<const uint8_t> bytes) override { return env_.append(*base_, bytes); }
  Status sync() override { return env_.sync(*base_); }
  Status truncate(uint64_t size) override { return env_.truncate(*base_, size); }
  Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) override {
    return env_.read_at(base_->path(), [&] { return base_->read_at(offset, out); });
  }
  Result<uint64_t> size() override { return base_->size(); }
  Status close() override { return base_->close(); }
  const fs::path& path() const override { return base_->path(); }

 private:
  FaultInjectionEnv& env_;
  std::unique_ptr<WritableFile> base_;
};

class FaultInjectionEnv::Readable final : public ReadableFile {
 public:
  Readable(FaultInjectionEnv& env, std::unique_ptr<ReadableFile> base)
      : env_(env), base_(std::move(base)) {}

  Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) override {
    return env_.read_at(base_->path(), [&] { return base_->read_at(offset, out); });
  }
  Result<uint64_t> size() override { return base_->size(); }
  const fs::path& path() const override { return base_->path(); }

 private:
  FaultInjectionEnv& env_;
  std::unique_ptr<ReadableFile> base_;
};

void FaultInjectionEnv::fail(FileOp op, int times, std::string path_part, int error) {
  std::lock_guard guard(mutex_);
  faults_.push_back(Fault{op, times, std::move(path_part), error});
}

void FaultInjectionEnv::clear_faults() {
  std::lock_guard guard(mutex_);
  faults_.clear();
  space_left_.reset();
}

void FaultInjectionEnv::limit_space(uint64_t bytes) {
  std::lock_guard guard(mutex_);
  space_left_ = bytes;
}

int FaultInjectionEnv::faults_fired() const {
  std::lock_guard guard(mutex_);
  return faults_fired_;
}

std::optional<int> FaultInjectionEnv::take_fault_locked(FileOp op, const fs::path& path,
                                                        const fs::path& other) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    const bool matches =
        it->op == op &&
        (path.native().find(it->path_part) != std::string::npos ||
         (!other.empty() && other.native().find(it->path_part) != std::string::npos));
    if (!matches) continue;
    const int error = it->error;
    if (it->remaining != kAlways && --it->remaining == 0) faults_.erase(it);
    ++faults_fired_;
    return error;
  }
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> FaultInjectionEnv::durable_contents_locked(
    const fs::path& path) {
  auto bytes = base_->read_file(path);
  if (!bytes.ok()) return std::nullopt;
  if (auto synced = synced_size_.find(key_of(path)); synced != synced_size_.end()) {
    bytes->resize(std::min<uint64_t>(bytes->size(), synced->second));
  }
  return std::move(bytes).value();
}

Status FaultInjectionEnv::write_contents_locked(const fs::path& path,
                                                const std::vector<uint8_t>& bytes) {
  auto file = base_->open_writable(path, OpenMode::kTruncate, 0600);
  if (!file.ok()) return file.status();
  if (Status status = (*file)->append(bytes); !status.ok()) return status;
  if (Status status = (*file)->sync(); !status.ok()) return status;
  return (*file)->close();
}

Status FaultInjectionEnv::append(WritableFile& file, std::span<const uint8_t> bytes) {
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kWrite, file.path())) {
    return os_error("write", file.path(), *error);
  }
  if (space_left_ && bytes.size() > *space_left_) {
    // A full disk takes what fits, then refuses the rest.
    const auto fits = static_cast<std::size_t>(*space_left_);
    space_left_ = 0;
    if (fits > 0) {
      if (Status status = file.append(bytes.first(fits)); !status.ok()) return status;
    }
    ++faults_fired_;
    return os_error("write", file.path(), ENOSPC);
  }
  if (space_left_) *space_left_ -= bytes.size();
  return file.append(bytes);
}

void FaultInjectionEnv::before_sync(std::function<void(const fs::path&)> hook) {
  std::lock_guard guard(mutex_);
  before_sync_ = std::move(hook);
}

Status FaultInjectionEnv::sync(WritableFile& file) {
  if (before_sync_) before_sync_(file.path());
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kSync, file.path())) {
    return os_error("sync", file.path(), *error);
  }
  if (Status status = file.sync(); !status.ok()) return status;
  auto size = file.size();
  if (!size.ok()) return size.status();
  synced_size_[key_of(file.path())] = *size;
  return Status::Ok();
}

Status FaultInjectionEnv::truncate(WritableFile& file, uint64_t size) {
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kTruncate, file.path())) {
    return os_error("truncate", file.path(), *error);
  }
  if (Status status = file.truncate(size); !status.ok()) return status;
  uint64_t& synced = synced_size_[key_of(file.path())];
  synced = std::min(synced, size);
  return Status::Ok();
}

Result<std::size_t> FaultInjectionEnv::read_at(const fs::path& path,
                                               const std::function<Result<std::size_t>()>& read) {
  {
    std::lock_guard guard(mutex_);
    if (auto error = take_fault_locked(FileOp::kRead, path)) return os_error("read", path, *error);
  }
  return read();
}

Result<std::unique_ptr<WritableFile>> FaultInjectionEnv::open_writable(const fs::path& path,
                                                                       OpenMode mode,
                                                                       unsigned permissions) {
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kOpen, path)) return os_error("open", path, *error);
  const bool existed = base_->exists(path);
  auto file = base_->open_writable(path, mode, permissions);
  if (!file.ok()) return file.status();
  const fs::path key = key_of(path);
  if (!existed) {
    pending_.push_back(PendingEntry{PendingEntry::kCreate, dir_of(path), key, {}, {}});
    synced_size_[key] = 0;
  } else if (mode == OpenMode::kTruncate) {
    synced_size_[key] = 0;
  } else if (!synced_size_.contains(key)) {
    // A file this Env has not written yet: what it holds already counts as durable.
    auto size = (*file)->size();
    if (!size.ok()) return size.status();
    synced_size_[key] = *size;
  }
  return std::unique_ptr<WritableFile>(std::make_unique<File>(*this, std::move(file).value()));
}

Result<std::unique_ptr<ReadableFile>> FaultInjectionEnv::open_readable(const fs::path& path) {
  {
    std::lock_guard guard(mutex_);
    if (auto error = take_fault_locked(FileOp::kOpen, path)) return os_error("open", path, *error);
  }
  auto file = base_->open_readable(path);
  if (!file.ok()) return file.status();
  return std::unique_ptr<ReadableFile>(std::make_unique<Readable>(*this, std::move(file).value()));
}

Result<std::vector<uint8_t>> FaultInjectionEnv::read_file(const fs::path& path) {
  {
    std::lock_guard guard(mutex_);
    if (auto error = take_fault_locked(FileOp::kOpen, path)) return os_error("open", path, *error);
    if (auto error = take_fault_locked(FileOp::kRead, path)) return os_error("read", path, *error);
  }
  return base_->read_file(path);
}

Status FaultInjectionEnv::rename(const fs::path& from, const fs::path& to) {
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kRename, from, to)) {
    const std::string both = from.string() + " to " + to.string();
    return os_error("rename", std::string_view(both), *error);
  }
  std::optional<std::vector<uint8_t>> previous = durable_contents_locked(to);
  if (Status status = base_->rename(from, to); !status.ok()) return status;
  const fs::path from_key = key_of(from);
  const fs::path to_key = key_of(to);
  synced_size_.erase(to_key);
  if (auto node = synced_size_.extract(from_key)) {
    node.key() = to_key;
    synced_size_.insert(std::move(node));
  }
  pending_.push_back(
      PendingEntry{PendingEntry::kRename, dir_of(to), to_key, from_key, std::move(previous)});
  return Status::Ok();
}

Status FaultInjectionEnv::remove(const fs::path& path) {
  std::lock_guard guard(mutex_);
  if (auto error = take_fault_locked(FileOp::kRemove, path)) {
    return os_error("remove", path, *error);
  }
  std::optional<std::vector<uint8_t>> previous = durable_contents_locked(path);
  if (Status status = base_->remove(path); !status.ok()) return status;
  const fs::path key = key_of(path);
  synced_size_.erase(key);
  if (previous) {
    pending_.push_back(PendingEntry{PendingEntry::kRemove, dir_of(path), key, {}, previous});
  }
  return Status::Ok();
}

Status FaultInjectionEnv::sync_dir(const fs::path& dir) {
  std::lock_guard guard(mutex_);
  const fs::path target = dir.empty() ? fs::path(".") : dir;
  if (auto error = take_fault_locked(FileOp::kSyncDir, target)) {
    return os_error("sync directory", target, *error);
  }
  if (Status status = base_->sync_dir(dir); !status.ok()) return status;
  const fs::path key = key_of(target);
  std::erase_if(pending_, [&](const PendingEntry& entry) { return entry.dir == key; });
  return Status::Ok();
}

Status FaultInjectionEnv::create_dirs(const fs::path& dir) { return base_->create_dirs(dir); }

Status FaultInjectionEnv::set_permissions(const fs::path& path, unsigned permissions) {
  return base_->set_permissions(path, permissions);
}

Result<std::vector<std::string>> FaultInjectionEnv::list_dir(const fs::path& dir) {
  {
    std::lock_guard guard(mutex_);
    if (auto error = take_fault_locked(FileOp::kRead, dir)) {
      return os_error("list directory", dir, *error);
    }
  }
  return base_->list_dir(dir);
}

bool FaultInjectionEnv::exists(const fs::path& path) { return base_->exists(path); }

Result<std::unique_ptr<FileLock>> FaultInjectionEnv::lock_file(const fs::path& path) {
  {
    std::lock_guard guard(mutex_);
    if (auto error = take_fault_locked(FileOp::kOpen, path)) return os_error("open", path, *error);
  }
  return base_->lock_file(path);
}

Status FaultInjectionEnv::drop_unsynced() {
  std::lock_guard guard(mutex_);
  // Data first: every file back to its size at its last sync.
  for (const auto& [path, synced] : synced_size_) {
    if (!base_->exists(path)) continue;
    auto file = base_->open_writable(path, OpenMode::kExisting, 07777);
    if (!file.ok()) return file.status();
    auto size = (*file)->size();
    if (!size.ok()) return size.status();
    if (*size <= synced) continue;
    if (Status status = (*file)->truncate(synced); !status.ok()) return status;
    if (Status status = (*file)->sync(); !status.ok()) return status;
  }
  // Then the directory entries, newest change first.
  for (auto it = pending_.rbegin(); it != pending_.rend(); ++it) {
    Status status;
    switch (it->kind) {
      case PendingEntry::kCreate:
        status = base_->remove(it->path);
        break;
      case PendingEntry::kRename:
        status = base_->rename(it->path, it->from);
        if (status.ok() && it->previous) status = write_contents_locked(it->path, *it->previous);
        break;
      case PendingEntry::kRemove:
        status = write_contents_locked(it->path, *it->previous);
        break;
    }
    if (!status.ok()) return status;
    if (Status synced = base_->sync_dir(it->dir); !synced.ok()) return synced;
  }
  pending_.clear();
  // What is left is what a crash leaves: all of it durable from now on.
  synced_size_.clear();
  return Status::Ok();
}

}  // namespace tessarine::testing
