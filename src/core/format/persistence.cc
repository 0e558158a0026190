#include "core/format/persistence.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "core/format/codec.h"
#include "core/format/quoted_path.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMagicBytes = 4;
constexpr std::size_t kTrailerBytes = 8;  // magic + CRC

Status os_error(int error) { return Status::Io(std::strerror(error)); }
Status last_os_error() { return os_error(errno); }

// Closes a descriptor on every path out of a function.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the result (a delayed write error can surface here).
  Status close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0 ? Status::Ok() : last_os_error();
  }

 private:
  int fd_;
};

// Flushes a file's data to stable storage. Where the platform has a stronger
// flush than fsync (one that also empties the drive's cache), it is used.
Status full_sync(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return Status::Ok();
#endif
  return ::fsync(fd) == 0 ? Status::Ok() : last_os_error();
}

Status write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return Status::Io("failed to write whole buffer");
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return Status::Ok();
}

// Syncs a directory so that a rename inside it survives a crash.
Status sync_directory(const fs::path& dir) {
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return last_os_error();
  if (Status synced = full_sync(fd.get()); !synced.ok()) return synced;
  return fd.close();
}

// Writes the pieces to a fresh file at `path` with mode 0600 and syncs it.
Status write_synced_file(const fs::path& path,
                         std::initializer_list<std::span<const uint8_t>> pieces) {
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return last_os_error();
  // An existing temporary file keeps its old mode through O_TRUNC; narrow it
  // before any snapshot byte is written.
  if (::fchmod(fd.get(), 0600) != 0) return last_os_error();
  for (std::span<const uint8_t> piece : pieces) {
    if (Status s = write_all(fd.get(), piece); !s.ok()) return s;
  }
  if (Status synced = full_sync(fd.get()); !synced.ok()) return synced;
  return fd.close();
}

Result<std::vector<uint8_t>> read_whole_file(const fs::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return last_os_error();
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return last_os_error();
  // The size is only a hint (the file may change while it is read); one
  // spare byte lets the final zero-length read happen without growing.
  std::vector<uint8_t> data(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096);
  std::size_t length = 0;
  for (;;) {
    if (length == data.size()) data.resize(data.size() * 2);
    const ssize_t n = ::read(fd.get(), data.data() + length, data.size() - length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) break;
    length += static_cast<std::size_t>(n);
  }
  data.resize(length);
  return data;
}

uint32_t crc32_of(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(::crc32_z(::crc32_z(0, nullptr, 0), bytes.data(), bytes.size()));
}

std::array<uint8_t, kTrailerBytes> plain_trailer(uint32_t crc) {
  std::array<uint8_t, kTrailerBytes> trailer;
  std::memcpy(trailer.data(), kPlainSnapshotMagic.data(), kMagicBytes);
  for (int i = 0; i < 4; ++i) trailer[kMagicBytes + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return trailer;
}

bool starts_with_magic(std::span<const uint8_t> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

std::string hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08x", value);
  return buffer;
}

// The record bytes of a snapshot file, after checking its frame.
Result<std::vector<uint8_t>> unframe(std::vector<uint8_t> file, const fs::path& path,
                                     const EncryptionKey* key) {
  const std::span<const uint8_t> bytes(file);
  if (starts_with_magic(bytes, kEncryptedSnapshotMagic)) {
    if (key == nullptr) {
      return Status::InvalidData("snapshot " + quoted_path(path) +
                                 " is encrypted but no encryption key was provided");
    }
    return key->decrypt(bytes.subspan(kMagicBytes));
  }
  if (bytes.size() >= kTrailerBytes &&
      starts_with_magic(bytes.last(kTrailerBytes), kPlainSnapshotMagic)) {
    const std::span<const uint8_t> payload = bytes.first(bytes.size() - kTrailerBytes);
    const uint8_t* stored_bytes = bytes.data() + bytes.size() - 4;
    const uint32_t stored = uint32_t{stored_bytes[0]} << 24 | uint32_t{stored_bytes[1]} << 16 |
                            uint32_t{stored_bytes[2]} << 8 | uint32_t{stored_bytes[3]};
    const uint32_t computed = crc32_of(payload);
    if (stored != computed) {
      return Status::InvalidData("Snapshot CRC32 mismatch: expected " + hex32(stored) + ", got " +
                                 hex32(computed) +
                                 ". File may be corrupted: " + quoted_path(path));
    }
    file.resize(payload.size());  // the decoder ignores what follows the record anyway
    return file;
  }
  return file;  // unframed: the whole file is the record
}

}  // namespace

Status save_collection(const CollectionHandle& collection, const fs::path& dir,
                       const EncryptionKey* key) {
  std::shared_lock guard(collection->lock);
  const std::vector<uint8_t> payload = encode_collection(collection->data);

  // Directories created here must reach stable storage with the snapshot.
  std::vector<fs::path> created;
  std::error_code probe;  // a path that cannot be probed (too long, ...) fails below, not here
  for (fs::path missing = dir; !missing.empty() && !fs::exists(missing, probe);
       missing = missing.parent_path()) {
    created.push_back(missing);
    if (missing == missing.parent_path()) break;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return Status::Io(ec.message());
  // Snapshots are private to their owner; a directory we cannot narrow (one
  // we do not own) is still written to.
  ::chmod(dir.c_str(), 0700);

  const fs::path snapshot = dir / snapshot_file_name(collection->data.name);
  fs::path temporary = snapshot;
  temporary += std::string(kTemporarySuffix);

  Status written;
  if (key == nullptr) {
    const auto trailer = plain_trailer(crc32_of(payload));
    written = write_synced_file(temporary, {payload, trailer});
  } else {
    const std::vector<uint8_t> sealed = key->encrypt(payload);
    const auto* magic = reinterpret_cast<const uint8_t*>(kEncryptedSnapshotMagic.data());
    written = write_synced_file(temporary, {{magic, kMagicBytes}, sealed});
  }
  if (!written.ok()) return written;

  if (::rename(temporary.c_str(), snapshot.c_str()) != 0) return last_os_error();
  if (Status synced = sync_directory(dir); !synced.ok()) return synced;
  for (const fs::path& made : created) {
    const fs::path parent = made.parent_path().empty() ? fs::path(".") : made.parent_path();
    if (Status synced = sync_directory(parent); !synced.ok()) return synced;
  }
  return Status::Ok();
}

Result<CollectionHandle> load_collection(const fs::path& file, const EncryptionKey* key) {
  Result<std::vector<uint8_t>> contents = read_whole_file(file);
  if (!contents.ok()) return contents.status();
  Result<std::vector<uint8_t>> payload = unframe(std::move(contents).value(), file, key);
  if (!payload.ok()) return payload.status();

  Result<Collection> decoded = decode_collection(*payload);
  std::vector<uint8_t>().swap(*payload);
  if (!decoded.ok()) return decoded.status();
  Collection& collection = *decoded;
  if (!collection.hnsw.config.store_raw_vectors) {
    std::vector<float>().swap(collection.hnsw.raw_vectors);
  }
  if (Status valid = validate_collection(collection); !valid.ok()) {
    return Status::InvalidData("snapshot validation failed: " + valid.message());
  }
  return std::make_shared<LockedCollection>(std::move(collection));
}

}  // namespace tessarine
