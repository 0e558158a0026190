// Env::posix(): the file system through POSIX calls. Every call that a
// signal can interrupt is retried; close() is not, because Linux releases the
// descriptor even when close reports EINTR.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <utility>

#include "core/io/env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

// Runs `call` until it is not interrupted by a signal; returns its result.
template <typename Call>
auto retry_on_eintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

int open_retrying(const fs::path& path, int flags, mode_t mode = 0) {
  return retry_on_eintr([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
}

// The directory an entry of `path` lives in ("." for a bare name).
fs::path directory_of(const fs::path& path) {
  fs::path parent = path.parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// The strongest flush the platform offers: F_FULLFSYNC also empties the
// drive's cache where it exists (file systems that refuse it get fsync).
int full_sync(int fd) {
#ifdef F_FULLFSYNC
  if (retry_on_eintr([&] { return ::fcntl(fd, F_FULLFSYNC); }) == 0) return 0;
  if (errno != ENOTSUP && errno != EINVAL) return -1;
#endif
  return retry_on_eintr([&] { return ::fsync(fd); });
}

Result<uint64_t> size_of(int fd, const fs::path& path) {
  struct stat info;
  if (retry_on_eintr([&] { return ::fstat(fd, &info); }) != 0) {
    return os_error("stat", path, errno);
  }
  return static_cast<uint64_t>(info.st_size);
}

Result<std::size_t> pread_fully(int fd, uint64_t offset, std::span<uint8_t> out,
                                const fs::path& path) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = retry_on_eintr([&] {
      return ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    });
    if (got < 0) return os_error("read", path, errno);
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

class PosixReadableFile final : public ReadableFile {
 public:
  PosixReadableFile(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixReadableFile() override { ::close(fd_); }

  Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) override {
    return pread_fully(fd_, offset, out, path_);
  }
  Result<uint64_t> size() override { return size_of(fd_, path_); }
  const fs::path& path() const override { return path_; }

 private:
  const int fd_;
  const fs::path path_;
};

class PosixWritableFile final : public WritableFile {
 public:
  PosixWritableFile(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}
  ~PosixWritableFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status append(std::span<const uint8_t> bytes) override {
    if (fd_ < 0) return os_error("write", path_, EBADF);
    while (!bytes.empty()) {
      const ssize_t written =
          retry_on_eintr([&] { return ::write(fd_, bytes.data(), bytes.size()); });
      if (written < 0) return os_error("write", path_, errno);
      if (written == 0)
        return Status::Io("write " + path_.string() + ": failed to write whole buffer");
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return Status::Ok();
  }

  void start_writeback() override {
#ifdef SYNC_FILE_RANGE_WRITE
    // Offset 0 and length 0: the whole file; pages already queued are skipped.
    if (fd_ >= 0) (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  }

  Status sync() override {
    if (fd_ < 0 || full_sync(fd_) != 0) return os_error("sync", path_, fd_ < 0 ? EBADF : errno);
    return Status::Ok();
  }

  Status truncate(uint64_t size) override {
    const int result =
        fd_ < 0 ? -1 : retry_on_eintr([&] { return ::ftruncate(fd_, static_cast<off_t>(size)); });
    if (result != 0) return os_error("truncate", path_, fd_ < 0 ? EBADF : errno);
    return Status::Ok();
  }

  Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (fd_ < 0) return os_error("read", path_, EBADF);
    return pread_fully(fd_, offset, out, path_);
  }

  Result<uint64_t> size() override {
    if (fd_ < 0) return os_error("stat", path_, EBADF);
    return size_of(fd_, path_);
  }

  Status close() override {
    if (fd_ < 0) return Status::Ok();
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return os_error("close", path_, errno);
    return Status::Ok();
  }

  const fs::path& path() const override { return path_; }

 private:
  int fd_;
  const fs::path path_;
};

// The copy Env::map_file's default holds.
class CopiedFile final : public FileContents {
 public:
  explicit CopiedFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::span<const uint8_t> bytes() const override { return bytes_; }

 private:
  const std::vector<uint8_t> bytes_;
};

// Bytes never zeroed when allocated or grown: a read is their first write,
// which saves a pass over a snapshot's megabytes.
class UninitializedBuffer {
 public:
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  void resize(std::size_t size) {
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(size);
    if (size_ > 0) std::memcpy(grown.get(), data_.get(), std::min(size, size_));
    data_ = std::move(grown);
    size_ = size;
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  std::size_t size_ = 0;
};

// A whole file read into memory, for Env::map_file.
class ReadFile final : public FileContents {
 public:
  ReadFile(UninitializedBuffer data, std::size_t length)
      : data_(std::move(data)), length_(length) {}
  std::span<const uint8_t> bytes() const override { return {data_.data(), length_}; }

 private:
  const UninitializedBuffer data_;
  const std::size_t length_;
};

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }  // closing releases the lock

 private:
  const int fd_;
};

// The pid a lock holder wrote into its lock file, or 0.
long holder_pid(int fd) {
  char text[32];
  const ssize_t got = retry_on_eintr([&] { return ::pread(fd, text, sizeof(text), 0); });
  if (got <= 0) return 0;
  long pid = 0;
  const auto [end, error] = std::from_chars(text, text + got, pid);
  if (error != std::errc() || end == text || pid <= 0) return 0;
  return pid;
}

class PosixEnv final : public Env {
 public:
  Result<std::unique_ptr<WritableFile>> open_writable(const fs::path& path, OpenMode mode,
                                                      unsigned permissions) override {
    // Always O_APPEND: append() is the only way to write, and after
    // truncate() the next append must land at the new end, not past it.
    int flags = O_RDWR | O_APPEND | O_NOFOLLOW;
    switch (mode) {
      case OpenMode::kAppend:
        flags |= O_CREAT;
        break;
      case OpenMode::kTruncate:
        flags |= O_CREAT | O_TRUNC;
        break;
      case OpenMode::kCreateExclusive:
        flags |= O_CREAT | O_EXCL;
        break;
      case OpenMode::kExisting:
        break;
    }
    const int fd = open_retrying(path, flags, static_cast<mode_t>(permissions));
    if (fd < 0) return os_error("open", path, errno);
    auto file = std::make_unique<PosixWritableFile>(fd, path);
    // A file that existed keeps its mode through open(); narrow it before
    // any byte is written. A new file's mode is already within them.
    struct stat info;
    if (retry_on_eintr([&] { return ::fstat(fd, &info); }) != 0) {
      return os_error("stat", path, errno);
    }
    const mode_t narrowed = info.st_mode & 07777 & static_cast<mode_t>(permissions);
    if ((info.st_mode & 07777) != narrowed &&
        retry_on_eintr([&] { return ::fchmod(fd, narrowed); }) != 0) {
      return os_error("chmod", path, errno);
    }
    return std::unique_ptr<WritableFile>(std::move(file));
  }

  Result<std::unique_ptr<ReadableFile>> open_readable(const fs::path& path) override {
    const int fd = open_retrying(path, O_RDONLY);
    if (fd < 0) return os_error("open", path, errno);
    return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd, path));
  }

  // Reads the whole file into `data` (resized as needed, kept bytes kept);
  // the length read.
  template <typename Buffer>
  Result<std::size_t> read_whole(const fs::path& path, Buffer& data) {
    auto file = open_readable(path);
    if (!file.ok()) return file.status();
    auto size = (*file)->size();
    if (!size.ok()) return size.status();
    // The size is only a hint (the file may change while it is read); one
    // spare byte lets the final zero-length read happen without growing.
    data.resize(*size > 0 ? static_cast<std::size_t>(*size) + 1 : 4096);
    std::size_t length = 0;
    for (;;) {
      if (length == data.size()) data.resize(data.size() * 2);
      auto got = (*file)->read_at(length, std::span(data.data() + length, data.size() - length));
      if (!got.ok()) return got.status();
      length += *got;
      if (length < data.size()) return length;  // read_at stops short only at the end
    }
  }

  Result<std::vector<uint8_t>> read_file(const fs::path& path) override {
    std::vector<uint8_t> data;
    Result<std::size_t> length = read_whole(path, data);
    if (!length.ok()) return length.status();
    data.resize(*length);
    return data;
  }

  Result<std::unique_ptr<FileContents>> map_file(const fs::path& path) override {
    UninitializedBuffer data;
    Result<std::size_t> length = read_whole(path, data);
    if (!length.ok()) return length.status();
    return std::unique_ptr<FileContents>(std::make_unique<ReadFile>(std::move(data), *length));
  }

  Status rename(const fs::path& from, const fs::path& to) override {
    if (retry_on_eintr([&] { return ::rename(from.c_str(), to.c_str()); }) != 0) {
      const std::string both = from.string() + " to " + to.string();
      return os_error("rename", std::string_view(both), errno);
    }
    return Status::Ok();
  }

  Status remove(const fs::path& path) override {
    if (retry_on_eintr([&] { return ::unlink(path.c_str()); }) != 0 && errno != ENOENT) {
      return os_error("remove", path, errno);
    }
    return Status::Ok();
  }

  Status sync_dir(const fs::path& dir) override {
    const fs::path target = dir.empty() ? fs::path(".") : dir;
    const int fd = open_retrying(target, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return os_error("open directory", target, errno);
    const int result = full_sync(fd);
    const int error = errno;
    ::close(fd);
    // EINVAL: the file system cannot sync directories and offers nothing stronger.
    if (result != 0 && error != EINVAL) return os_error("sync directory", target, error);
    return Status::Ok();
  }

  Status create_dirs(const fs::path& dir) override {
    // The missing directories, deepest first. A path that cannot be probed
    // (too long, under a file) counts as missing and fails at mkdir.
    std::vector<fs::path> missing;
    for (fs::path probe = dir; !probe.empty(); probe = probe.parent_path()) {
      struct stat info;
      if (::stat(probe.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) return os_error("create directory", probe, ENOTDIR);
        break;
      }
      missing.push_back(probe);
      if (probe == probe.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (retry_on_eintr([&] { return ::mkdir(it->c_str(), 0777); }) != 0) {
        const int error = errno;
        struct stat info;
        // Created meanwhile by someone else: fine when it is a directory.
        if (error == EEXIST && ::stat(it->c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        return os_error("create directory", *it, error);
      }
      if (Status synced = sync_dir(directory_of(*it)); !synced.ok()) return synced;
    }
    return Status::Ok();
  }

  Status set_permissions(const fs::path& path, unsigned permissions) override {
    if (retry_on_eintr([&] { return ::chmod(path.c_str(), static_cast<mode_t>(permissions)); }) !=
        0) {
      return os_error("chmod", path, errno);
    }
    return Status::Ok();
  }

  Result<std::vector<std::string>> list_dir(const fs::path& dir) override {
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) return os_error("list directory", dir, errno);
    std::vector<std::string> names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream);
      if (entry == nullptr) break;
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) return os_error("list directory", dir, error);
    return names;
  }

  bool exists(const fs::path& path) override {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
  }

  Result<std::unique_ptr<FileLock>> lock_file(const fs::path& path) override {
    const int fd = open_retrying(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (fd < 0) return os_error("open", path, errno);
    if (retry_on_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
      const int error = errno;
      if (error != EWOULDBLOCK) {
        ::close(fd);
        return os_error("lock", path, error);
      }
      const long pid = holder_pid(fd);
      ::close(fd);
      std::string message =
          "data directory " + directory_of(path).string() + " is in use by another process";
      if (pid > 0) message += " (pid " + std::to_string(pid) + ")";
      return Status::Io(std::move(message));
    }
    // The pid only helps whoever finds the directory busy; it needs no sync.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (retry_on_eintr([&] { return ::ftruncate(fd, 0); }) != 0 ||
        retry_on_eintr([&] { return ::pwrite(fd, pid.data(), pid.size(), 0); }) < 0) {
      const int error = errno;
      ::close(fd);
      return os_error("write", path, error);
    }
    return std::unique_ptr<FileLock>(std::make_unique<PosixFileLock>(fd));
  }
};

}  // namespace

Status os_error(std::string_view action, std::string_view subject, int error) {
  std::string message(action);
  message += ' ';
  message += subject;
  message += ": ";
  message += std::strerror(error);
  message += " (os error " + std::to_string(error) + ")";
  return Status::Io(std::move(message));
}

Status os_error(std::string_view action, const fs::path& path, int error) {
  return os_error(action, std::string_view(path.native()), error);
}

Result<std::unique_ptr<FileContents>> Env::map_file(const fs::path& path) {
  Result<std::vector<uint8_t>> bytes = read_file(path);
  if (!bytes.ok()) return bytes.status();
  return std::unique_ptr<FileContents>(std::make_unique<CopiedFile>(std::move(bytes).value()));
}

Env* Env::posix() {
  // Stateless, so one instance can serve every thread for the process's life.
  static PosixEnv env;
  return &env;
}

}  // namespace tessarine
