#include "core/format/wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <shared_mutex>
#include <string>
#include <utility>

#include "core/format/codec.h"

namespace tessarine {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kFileMode = 0600;

Status io_error(const std::string& what, int err) {
  return Status::Io(what + ": " + std::strerror(err) + " (os error " + std::to_string(err) + ")");
}

std::string describe(const char* action, const std::filesystem::path& path) {
  return std::string(action) + " " + path.string();
}

// open(2), retried when a signal interrupts it.
int open_file(const std::filesystem::path& path, int flags, int mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void close_file(int fd) {
  // Linux releases the descriptor even when close reports EINTR; never retry.
  if (fd >= 0) ::close(fd);
}

// The strongest synchronisation the platform offers: F_FULLFSYNC also
// flushes the drive's cache where it exists; fsync elsewhere.
Status full_sync(int fd, const std::filesystem::path& path) {
#ifdef F_FULLFSYNC
  int rc;
  do {
    rc = ::fcntl(fd, F_FULLFSYNC);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return Status::Ok();
  if (errno != ENOTSUP && errno != EINVAL) return io_error(describe("sync", path), errno);
#endif
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return io_error(describe("sync", path), errno);
  return Status::Ok();
}

// Makes the entries of `dir` (a created or renamed file) durable. A file
// system that cannot sync directories (EINVAL) offers nothing stronger.
Status sync_directory(const std::filesystem::path& dir) {
  const std::filesystem::path target = dir.empty() ? std::filesystem::path(".") : dir;
  const int fd = open_file(target, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return io_error(describe("open directory", target), errno);
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  const int err = errno;
  close_file(fd);
  if (result != 0 && err != EINVAL) return io_error(describe("sync directory", target), err);
  return Status::Ok();
}

Status write_all(int fd, const uint8_t* data, std::size_t size,
                 const std::filesystem::path& path) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return io_error(describe("write", path), errno);
    }
    if (written == 0) return io_error(describe("write", path), EIO);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return Status::Ok();
}

Status truncate_and_sync(int fd, uint64_t size, const std::filesystem::path& path) {
  int result;
  do {
    result = ::ftruncate(fd, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return io_error(describe("truncate", path), errno);
  return full_sync(fd, path);
}

Result<uint64_t> file_size(int fd, const std::filesystem::path& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return io_error(describe("stat", path), errno);
  return static_cast<uint64_t>(st.st_size);
}

void put_u32_be(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t get_u32_be(const uint8_t* in) {
  return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

uint32_t crc32_of(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
}

std::vector<uint8_t> frame(uint32_t check, std::span<const uint8_t> payload) {
  std::vector<uint8_t> record(kWalHeaderSize + payload.size());
  put_u32_be(record.data(), static_cast<uint32_t>(payload.size()));
  put_u32_be(record.data() + 4, check);
  std::copy(payload.begin(), payload.end(), record.begin() + kWalHeaderSize);
  return record;
}

// Sequential reads through a buffer, by offset (pread), so scanning the
// writer's own descriptor leaves its file position alone.
class ChunkReader {
 public:
  ChunkReader(int fd, const std::filesystem::path& path) : fd_(fd), path_(path) {}

  uint64_t position() const { return position_; }

  // Reads up to `size` bytes; fewer only at the end of the file.
  Result<std::size_t> read(uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      if (begin_ == end_) {
        // A large read goes straight to the caller's memory.
        const bool direct = size - done >= buffer_.size();
        uint8_t* target = direct ? out + done : buffer_.data();
        const std::size_t wanted = direct ? size - done : buffer_.size();
        const ssize_t got = ::pread(fd_, target, wanted, static_cast<off_t>(file_offset_));
        if (got < 0) {
          if (errno == EINTR) continue;
          return io_error(describe("read", path_), errno);
        }
        if (got == 0) break;
        file_offset_ += static_cast<uint64_t>(got);
        if (direct) {
          done += static_cast<std::size_t>(got);
          position_ += static_cast<uint64_t>(got);
          continue;
        }
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
      }
      const std::size_t take = std::min(size - done, end_ - begin_);
      std::memcpy(out + done, buffer_.data() + begin_, take);
      begin_ += take;
      done += take;
      position_ += take;
    }
    return done;
  }

 private:
  int fd_;
  const std::filesystem::path& path_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kReadChunk);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint64_t file_offset_ = 0;  // where the next pread starts
  uint64_t position_ = 0;     // bytes handed to the caller
};

// One step of a scan over the log: a readable payload, or the reason the
// scan stops. `offset` is where the record (or the unreadable bytes) begins.
struct ScanStep {
  enum Kind { kRecord, kEnd, kTorn, kCorrupt };
  Kind kind;
  uint64_t offset;
  std::vector<uint8_t> payload;  // the plain encoding, for kRecord
};

// Walks the records of a log whose size is known at the start. The writer's
// recovery and the reader share it, so both draw the line at the same place.
class WalScanner {
 public:
  WalScanner(int fd, uint64_t size, const std::filesystem::path& path, const EncryptionKey* key)
      : reader_(fd, path), size_(size), key_(key) {}

  Result<ScanStep> next() {
    const uint64_t offset = reader_.position();
    uint8_t header[kWalHeaderSize];
    auto got = reader_.read(header, kWalHeaderSize);
    if (!got.ok()) return got.status();
    if (*got == 0) return ScanStep{ScanStep::kEnd, offset, {}};
    if (*got < kWalHeaderSize) return ScanStep{ScanStep::kTorn, offset, {}};

    const uint32_t length = get_u32_be(header);
    const uint32_t check = get_u32_be(header + 4);
    // A length beyond the end of the file is a torn record; it is never
    // allocated.
    if (length > size_ - std::min(size_, reader_.position())) {
      return ScanStep{ScanStep::kTorn, offset, {}};
    }
    std::vector<uint8_t> payload(length);
    got = reader_.read(payload.data(), payload.size());
    if (!got.ok()) return got.status();
    if (*got < payload.size()) return ScanStep{ScanStep::kTorn, offset, {}};

    if (check == kWalSealedCheck && key_ != nullptr) {
      auto opened = key_->decrypt(payload);
      if (opened.ok()) return ScanStep{ScanStep::kRecord, offset, std::move(opened).value()};
    }
    // A plain record whose CRC happens to be FF FF FF FF also lands here.
    if (crc32_of(payload) == check) return ScanStep{ScanStep::kRecord, offset, std::move(payload)};
    return ScanStep{ScanStep::kCorrupt, offset, {}};
  }

 private:
  ChunkReader reader_;
  uint64_t size_;
  const EncryptionKey* key_;
};

// Copies bytes [from, to) of the log to a new side file next to it and makes
// the copy durable, including its directory entry.
Result<std::filesystem::path> move_aside_copy(int log_fd, const std::filesystem::path& log_path,
                                              uint64_t from, uint64_t to) {
  int fd = -1;
  std::filesystem::path side;
  for (uint64_t n = 1; fd < 0; ++n) {
    side = log_path;
    side += kWalCorruptInfix + std::to_string(n);
    fd = open_file(side, O_WRONLY | O_CREAT | O_EXCL, kFileMode);
    if (fd < 0 && errno != EEXIST) return io_error(describe("create", side), errno);
  }
  std::vector<uint8_t> buffer(kReadChunk);
  Status status;
  for (uint64_t offset = from; offset < to && status.ok();) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), to - offset));
    const ssize_t got = ::pread(log_fd, buffer.data(), wanted, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      status = io_error(describe("read", log_path), got < 0 ? errno : EIO);
      break;
    }
    status = write_all(fd, buffer.data(), static_cast<std::size_t>(got), side);
    offset += static_cast<uint64_t>(got);
  }
  if (status.ok()) status = full_sync(fd, side);
  close_file(fd);
  if (status.ok()) status = sync_directory(log_path.parent_path());
  if (!status.ok()) return status;
  return side;
}

}  // namespace

Status check_wal_payload_size(uint64_t payload_size) {
  if (payload_size > kWalMaxPayloadSize) {
    return Status::Other("log entry too large: " + std::to_string(payload_size) +
                         " bytes (maximum " + std::to_string(kWalMaxPayloadSize) + ")");
  }
  return Status::Ok();
}

Result<std::vector<uint8_t>> build_wal_record(const WalEntry& entry, const EncryptionKey* key) {
  const std::vector<uint8_t> encoded = encode_wal_entry(entry);
  // Checked before sealing, so an entry that cannot be framed is never encrypted.
  const uint64_t payload_size = encoded.size() + (key != nullptr ? kSealOverhead : 0);
  if (Status status = check_wal_payload_size(payload_size); !status.ok()) return status;
  if (key == nullptr) return frame(crc32_of(encoded), encoded);
  return frame(kWalSealedCheck, key->encrypt(encoded));
}

SyncWriteAheadLog::SyncWriteAheadLog(std::filesystem::path path, int fd, uint64_t size,
                                     std::shared_ptr<const EncryptionKey> key)
    : path_(std::move(path)), key_(std::move(key)), fd_(fd), end_offset_(size) {}

SyncWriteAheadLog::~SyncWriteAheadLog() { close_file(fd_); }

Result<std::unique_ptr<SyncWriteAheadLog>> SyncWriteAheadLog::open(
    const std::filesystem::path& data_dir, std::shared_ptr<const EncryptionKey> key) {
  std::filesystem::path path = data_dir / kWalFileName;
  // Read access too: recover() scans the file through this descriptor.
  const int fd = open_file(path, O_RDWR | O_APPEND | O_CREAT, kFileMode);
  if (fd < 0) return io_error(describe("open", path), errno);
  auto size = file_size(fd, path);
  Status status = size.ok() ? sync_directory(data_dir) : size.status();
  if (!status.ok()) {
    close_file(fd);
    return status;
  }
  return std::unique_ptr<SyncWriteAheadLog>(
      new SyncWriteAheadLog(std::move(path), fd, *size, std::move(key)));
}

Result<WalRecovery> SyncWriteAheadLog::recover() {
  std::lock_guard guard(mutex_);
  auto size = file_size(fd_, path_);
  if (!size.ok()) return size.status();

  WalScanner scanner(fd_, *size, path_, key_.get());
  ScanStep step{ScanStep::kRecord, 0, {}};
  while (step.kind == ScanStep::kRecord) {
    auto next = scanner.next();
    if (!next.ok()) return next.status();
    step = std::move(next).value();
  }

  WalRecovery recovery;
  if (step.kind == ScanStep::kCorrupt) {
    auto side = move_aside_copy(fd_, path_, step.offset, *size);
    if (!side.ok()) return side.status();
    recovery.corrupt_file = std::move(side).value();
    recovery.corrupt_bytes_moved = *size - step.offset;
  } else if (step.kind == ScanStep::kTorn) {
    recovery.torn_bytes_cut = *size - step.offset;
  }
  if (step.offset < *size) {
    // Only after the side file is durable may the bytes leave the log.
    if (Status status = truncate_and_sync(fd_, step.offset, path_); !status.ok()) return status;
  }
  end_offset_ = step.offset;
  return recovery;
}

Status SyncWriteAheadLog::append(const WalEntry& entry) {
  // Encoding, CRC and sealing happen before any lock is taken.
  auto record = build_wal_record(entry, key_.get());
  if (!record.ok()) return record.status();

  std::shared_lock checkpoint(checkpoint_lock_);
  std::lock_guard guard(mutex_);
  if (broken_) return *broken_;
  Status status = write_all(fd_, record->data(), record->size(), path_);
  if (status.ok()) status = full_sync(fd_, path_);
  if (status.ok()) {
    end_offset_ += record->size();
    return status;
  }
  // The change will not be applied, so its record must not be replayed
  // either, and a partial record must not hide the records after it.
  if (Status undo = roll_back_locked(); !undo.ok()) {
    broken_ = Status::Io("log unusable after a failed append could not be undone: " +
                         undo.message());
  }
  return status;
}

Status SyncWriteAheadLog::roll_back_locked() {
  return truncate_and_sync(fd_, end_offset_, path_);
}

Status SyncWriteAheadLog::truncate() {
  std::lock_guard guard(mutex_);
  // Through a fresh descriptor on the path, so a log file that was replaced
  // or deleted is noticed instead of emptying a file nobody reads.
  const int fd = open_file(path_, O_RDWR | O_APPEND);
  if (fd < 0) return io_error(describe("open", path_), errno);
  if (Status status = truncate_and_sync(fd, 0, path_); !status.ok()) {
    close_file(fd);
    // The file may already be empty; appends continue at its real end.
    if (auto size = file_size(fd_, path_); size.ok()) end_offset_ = *size;
    return status;
  }
  close_file(fd_);
  fd_ = fd;
  end_offset_ = 0;
  broken_.reset();
  return Status::Ok();
}

Result<std::vector<WalEntry>> read_wal(const std::filesystem::path& path,
                                       const EncryptionKey* key) {
  const int fd = open_file(path, O_RDONLY);
  if (fd < 0) return io_error(describe("open", path), errno);
  std::vector<WalEntry> entries;
  Status status;
  if (auto size = file_size(fd, path); !size.ok()) {
    status = size.status();
  } else {
    WalScanner scanner(fd, *size, path, key);
    while (true) {
      auto step = scanner.next();
      if (!step.ok()) {
        status = step.status();
        break;
      }
      if (step->kind != ScanStep::kRecord) break;
      // An entry that does not decode (say, from a newer version) is skipped;
      // bytes after a decoded entry are ignored.
      auto entry = decode_wal_entry(step->payload);
      if (entry.ok()) entries.push_back(std::move(entry).value());
    }
  }
  close_file(fd);
  if (!status.ok()) return status;
  return entries;
}

}  // namespace tessarine
