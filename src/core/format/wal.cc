#include "core/format/wal.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

#include "core/base/fatal.h"
#include "core/base/hash_map.h"
#include "core/format/checksum.h"
#include "core/format/codec.h"

namespace tessarine {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr unsigned kFileMode = 0600;
// A group of appends is at most this many bytes; a small first record caps
// it lower, so that a small write does not wait for a large group's write.
constexpr std::size_t kMaxGroupBytes = 1 << 20;
constexpr std::size_t kSmallRecordGroupBytes = 128 << 10;

Status truncate_and_sync(WritableFile& file, uint64_t size) {
  if (Status status = file.truncate(size); !status.ok()) return status;
  return file.sync();
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

std::vector<uint8_t> frame(uint32_t check, std::span<const uint8_t> payload) {
  std::vector<uint8_t> record(kWalHeaderSize + payload.size());
  put_u32_be(record.data(), static_cast<uint32_t>(payload.size()));
  put_u32_be(record.data() + 4, check);
  std::copy(payload.begin(), payload.end(), record.begin() + kWalHeaderSize);
  return record;
}

// Reads at an offset: ReadableFile::read_at or WritableFile::read_at.
using ReadAt = std::function<Result<std::size_t>(uint64_t, std::span<uint8_t>)>;

// Sequential reads through a buffer, by offset, so scanning the writer's own
// file leaves its appends alone.
class ChunkReader {
 public:
  explicit ChunkReader(ReadAt read_at) : read_at_(std::move(read_at)) {}

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
        auto got = read_at_(file_offset_, {target, wanted});
        if (!got.ok()) return got.status();
        if (*got == 0) break;
        file_offset_ += *got;
        if (direct) {
          done += *got;
          position_ += *got;
          continue;
        }
        begin_ = 0;
        end_ = *got;
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
  ReadAt read_at_;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(kReadChunk);
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint64_t file_offset_ = 0;  // where the next pread starts
  uint64_t position_ = 0;     // bytes handed to the caller
};

// One step of a scan over the log: a readable payload (no `stop`), or the
// reason the scan stops. `offset` is where the record (or the unreadable
// bytes) begins.
struct ScanStep {
  std::optional<WalStop> stop;
  uint64_t offset = 0;
  std::vector<uint8_t> payload;  // the plain encoding of a readable record
  uint64_t length = 0;           // the length field, once the header is whole
};

ScanStep stop_at(WalStop stop, uint64_t offset, uint64_t length = 0) {
  return ScanStep{stop, offset, {}, length};
}

ScanStep record_at(uint64_t offset, std::vector<uint8_t> payload) {
  const uint64_t length = payload.size();
  return ScanStep{std::nullopt, offset, std::move(payload), length};
}

// Walks the records of a log whose size is known at the start. The writer's
// recovery and the reader share it, so both draw the line at the same place.
class WalScanner {
 public:
  WalScanner(ReadAt read_at, uint64_t size, const EncryptionKey* key)
      : reader_(std::move(read_at)), size_(size), key_(key) {}

  Result<ScanStep> next() {
    const uint64_t offset = reader_.position();
    uint8_t header[kWalHeaderSize];
    auto got = reader_.read(header, kWalHeaderSize);
    if (!got.ok()) return got.status();
    if (*got == 0) return stop_at(WalStop::kEnd, offset);
    if (*got < kWalHeaderSize) return stop_at(WalStop::kTornHeader, offset);

    const uint32_t length = get_u32_be(header);
    const uint32_t check = get_u32_be(header + 4);
    // A length beyond the end of the file is a torn record; it is never
    // allocated.
    if (length > size_ - std::min(size_, reader_.position())) {
      return stop_at(WalStop::kTornPayload, offset, length);
    }
    std::vector<uint8_t> payload(length);
    got = reader_.read(payload.data(), payload.size());
    if (!got.ok()) return got.status();
    if (*got < payload.size()) return stop_at(WalStop::kTornPayload, offset, length);

    if (check == kWalSealedCheck && key_ != nullptr) {
      auto opened = key_->decrypt(payload);
      if (opened.ok()) {
        opened_sealed_record_ = true;
        return record_at(offset, std::move(opened).value());
      }
    }
    // A plain record whose CRC happens to be FF FF FF FF also lands here.
    if (crc32_of(payload) == check) return record_at(offset, std::move(payload));
    if (check != kWalSealedCheck) return stop_at(WalStop::kChecksumMismatch, offset, length);
    return stop_at(key_ == nullptr ? WalStop::kSealedWithoutKey : WalStop::kSealedNotOpened, offset,
                   length);
  }

  // Whether some sealed record before the current one opened under the key.
  bool opened_sealed_record() const { return opened_sealed_record_; }

 private:
  ChunkReader reader_;
  uint64_t size_;
  const EncryptionKey* key_;
  bool opened_sealed_record_ = false;
};

// A sealed record that does not open, when no sealed record before it did,
// means the directory was opened without its key or with another one, not
// that the record is damaged. Moving the rest of the log aside would then
// hide every change it holds from the next open with the right key.
Status refuse_foreign_key(const ScanStep& step, bool opened_sealed_record) {
  if (step.stop == WalStop::kSealedWithoutKey) {
    return Status::InvalidData("the log holds an encrypted record at offset " +
                               std::to_string(step.offset) +
                               " and no encryption key was given; the log was not changed");
  }
  if (step.stop == WalStop::kSealedNotOpened && !opened_sealed_record) {
    return Status::InvalidData(
        "the log's encrypted record at offset " + std::to_string(step.offset) +
        " does not open with the encryption key given (wrong key or damaged record); the log "
        "was not changed");
  }
  return Status::Ok();
}

// The first side-file path next to the log that no directory entry takes.
Result<std::filesystem::path> free_side_file(Env& env, const std::filesystem::path& log_path) {
  const std::filesystem::path dir =
      log_path.has_parent_path() ? log_path.parent_path() : std::filesystem::path(".");
  auto names = env.list_dir(dir);
  if (!names.ok()) return names.status();
  const HashSet<std::string> taken(names->begin(), names->end());
  const std::string prefix = log_path.filename().string() + kWalCorruptInfix;
  for (uint64_t n = 1;; ++n) {
    if (!taken.contains(prefix + std::to_string(n))) return dir / (prefix + std::to_string(n));
  }
}

// Copies bytes [from, to) of the log to a new side file next to it and makes
// the copy durable, including its directory entry. A copy that fails is
// removed again; the log still holds the bytes.
Result<std::filesystem::path> copy_aside(Env& env, WritableFile& log, uint64_t from, uint64_t to) {
  auto side_path = free_side_file(env, log.path());
  if (!side_path.ok()) return side_path.status();
  // Exclusive: a side file is never overwritten, even one made meanwhile.
  auto side = env.open_writable(*side_path, OpenMode::kCreateExclusive, kFileMode);
  if (!side.ok()) return side.status();
  std::vector<uint8_t> buffer(kReadChunk);
  Status status;
  for (uint64_t offset = from; offset < to && status.ok();) {
    const auto wanted = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), to - offset));
    auto got = log.read_at(offset, {buffer.data(), wanted});
    if (!got.ok()) {
      status = got.status();
    } else if (*got < wanted) {
      status = Status::Io("read " + log.path().string() + ": the log shrank while it was copied");
    } else {
      status = (*side)->append({buffer.data(), *got});
      offset += *got;
    }
  }
  if (status.ok()) status = (*side)->sync();
  if (status.ok()) status = (*side)->close();
  if (status.ok()) status = env.sync_dir(side_path->parent_path());
  if (!status.ok()) {
    side->reset();
    (void)env.remove(*side_path);  // best effort; the error that matters is `status`
    return status;
  }
  return std::move(side_path).value();
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

SyncWriteAheadLog::SyncWriteAheadLog(Env& env, std::filesystem::path path,
                                     std::unique_ptr<WritableFile> file, uint64_t size,
                                     std::shared_ptr<const EncryptionKey> key)
    : env_(env),
      path_(std::move(path)),
      key_(std::move(key)),
      file_(std::move(file)),
      end_offset_(size) {}

SyncWriteAheadLog::~SyncWriteAheadLog() = default;

Result<std::unique_ptr<SyncWriteAheadLog>> SyncWriteAheadLog::open(
    Env& env, const std::filesystem::path& data_dir, std::shared_ptr<const EncryptionKey> key) {
  std::filesystem::path path = data_dir / kWalFileName;
  auto file = env.open_writable(path, OpenMode::kAppend, kFileMode);
  if (!file.ok()) return file.status();
  auto size = (*file)->size();
  if (!size.ok()) return size.status();
  if (Status status = env.sync_dir(data_dir); !status.ok()) return status;
  return std::unique_ptr<SyncWriteAheadLog>(
      new SyncWriteAheadLog(env, std::move(path), std::move(file).value(), *size, std::move(key)));
}

Result<WalRecovery> SyncWriteAheadLog::recover() {
  Writer self({});
  std::unique_lock lock(mutex_);
  wait_for_turn_locked(lock, self);
  auto recovered = [&]() -> Result<WalRecovery> {
    auto size = file_->size();
    if (!size.ok()) return size.status();

    WritableFile& file = *file_;
    WalScanner scanner(
        [&file](uint64_t offset, std::span<uint8_t> out) { return file.read_at(offset, out); },
        *size, key_.get());
    ScanStep step;
    do {
      auto next = scanner.next();
      if (!next.ok()) return next.status();
      step = std::move(next).value();
    } while (!step.stop);
    if (Status refused = refuse_foreign_key(step, scanner.opened_sealed_record()); !refused.ok()) {
      return refused;
    }

    WalRecovery recovery;
    if (step.offset < *size) {
      // Only after the copy is durable may the bytes leave the log.
      auto side = copy_aside(env_, *file_, step.offset, *size);
      if (!side.ok()) return side.status();
      recovery.side_file = std::move(side).value();
      const uint64_t moved = *size - step.offset;
      (wal_stop_is_torn(*step.stop) ? recovery.torn_bytes_moved : recovery.corrupt_bytes_moved) =
          moved;
      if (Status status = truncate_and_sync(*file_, step.offset); !status.ok()) return status;
    }
    end_offset_ = step.offset;
    return recovery;
  }();
  finish_locked(1, Status::Ok());
  return recovered;
}

void SyncWriteAheadLog::wait_for_turn_locked(std::unique_lock<std::mutex>& lock, Writer& self) {
  writers_.push_back(&self);
  wait_queued_locked(lock, self);
}

void SyncWriteAheadLog::wait_queued_locked(std::unique_lock<std::mutex>& lock, Writer& self) {
  self.turn.wait(lock, [&] { return self.done || writers_.front() == &self; });
}

Status SyncWriteAheadLog::lead_or_wait_locked(std::unique_lock<std::mutex>& lock, Writer& self) {
  wait_queued_locked(lock, self);
  if (self.done) return self.status;  // an earlier leader wrote it
  const std::vector<Writer*> group = take_group_locked();
  Status status = write_group(lock, group);
  finish_locked(group.size(), status);
  return status;
}

std::vector<SyncWriteAheadLog::Writer*> SyncWriteAheadLog::take_group_locked() {
  std::vector<Writer*> group{writers_.front()};
  std::size_t bytes = group.front()->record.size();
  const std::size_t limit = bytes <= kSmallRecordGroupBytes ? bytes + kSmallRecordGroupBytes
                                                            : std::max(bytes, kMaxGroupBytes);
  for (auto next = writers_.begin() + 1; next != writers_.end(); ++next) {
    const std::size_t size = (*next)->record.size();
    if (size == 0 || bytes + size > limit) break;
    bytes += size;
    group.push_back(*next);
  }
  return group;
}

Status SyncWriteAheadLog::write_group(std::unique_lock<std::mutex>& lock,
                                      const std::vector<Writer*>& group) {
  if (broken_) return *broken_;
  // Only the leader touches the file and end_offset_ until it finishes, so
  // it waits for the disk without the mutex while later appends queue up.
  // The writers of the group stay queued, and their records alive, until then.
  lock.unlock();
  std::vector<uint8_t> joined;
  std::span<const uint8_t> bytes = group.front()->record;
  if (group.size() > 1) {
    for (const Writer* writer : group) {
      joined.insert(joined.end(), writer->record.begin(), writer->record.end());
    }
    bytes = joined;
  }
  Status status = file_->append(bytes);
  if (status.ok()) status = file_->sync();
  std::optional<Status> broken;
  if (!status.ok()) {
    // The changes will not be applied, so their records must not be replayed
    // either, and a partial record must not hide the records after it.
    if (Status undo = truncate_and_sync(*file_, end_offset_); !undo.ok()) {
      broken =
          Status::Io("log unusable after a failed append could not be undone: " + undo.message());
    }
  }
  lock.lock();
  if (status.ok()) end_offset_ += bytes.size();
  if (broken) broken_ = std::move(broken);
  return status;
}

void SyncWriteAheadLog::finish_locked(std::size_t count, const Status& status) {
  for (std::size_t i = 0; i < count; ++i) {
    Writer* writer = writers_.front();
    writers_.pop_front();
    if (i == 0) continue;  // the leader returns the status itself
    writer->status = status;
    writer->done = true;
    writer->turn.notify_one();
  }
  if (!writers_.empty()) writers_.front()->turn.notify_one();
}

Status SyncWriteAheadLog::append(const WalEntry& entry) {
  Pending pending;
  if (Status queued = queue(entry, pending); !queued.ok()) return queued;
  return wait(pending);
}

Status SyncWriteAheadLog::queue(const WalEntry& entry, Pending& pending) {
  if (pending.writer_) fatal("a pending log append was queued twice");
  // Encoding, CRC and sealing happen before the lock is taken.
  auto record = build_wal_record(entry, key_.get());
  if (!record.ok()) return record.status();
  pending.record_ = std::move(record).value();
  std::lock_guard lock(mutex_);
  writers_.push_back(&pending.writer_.emplace(pending.record_));
  return Status::Ok();
}

Status SyncWriteAheadLog::wait(Pending& pending) {
  if (!pending.writer_) fatal("a log append was waited for without being queued");
  std::unique_lock lock(mutex_);
  return lead_or_wait_locked(lock, *pending.writer_);
}

uint64_t SyncWriteAheadLog::size() {
  std::lock_guard guard(mutex_);
  return end_offset_;
}

Status SyncWriteAheadLog::truncate() {
  Writer self({});
  std::unique_lock lock(mutex_);
  wait_for_turn_locked(lock, self);
  // Through a fresh handle on the path, so a log file that was replaced or
  // deleted is noticed instead of emptying a file nobody reads.
  Status status = [&] {
    auto fresh = env_.open_writable(path_, OpenMode::kExisting, kFileMode);
    if (!fresh.ok()) return fresh.status();
    if (Status cut = truncate_and_sync(**fresh, 0); !cut.ok()) {
      // The file may already be empty; appends continue at its real end.
      if (auto size = file_->size(); size.ok()) end_offset_ = *size;
      return cut;
    }
    file_ = std::move(fresh).value();
    end_offset_ = 0;
    broken_.reset();
    return Status::Ok();
  }();
  finish_locked(1, Status::Ok());
  return status;
}

Result<WalScan> scan_wal(Env& env, const std::filesystem::path& path, const EncryptionKey* key) {
  auto file = env.open_readable(path);
  if (!file.ok()) return file.status();
  auto size = (*file)->size();
  if (!size.ok()) return size.status();
  ReadableFile& reader = **file;
  WalScanner scanner(
      [&reader](uint64_t offset, std::span<uint8_t> out) { return reader.read_at(offset, out); },
      *size, key);
  WalScan scan;
  scan.file_size = *size;
  while (true) {
    auto step = scanner.next();
    if (!step.ok()) return step.status();
    if (step->stop) {
      scan.stop = *step->stop;
      scan.stop_offset = step->offset;
      scan.stop_length = step->length;
      return scan;
    }
    // An entry that does not decode (say, from a newer version) is skipped;
    // bytes after a decoded entry are ignored.
    auto entry = decode_wal_entry(step->payload);
    if (entry.ok()) {
      scan.entries.push_back(std::move(entry).value());
    } else {
      scan.skipped.push_back({step->offset, entry.status().message()});
    }
  }
}

Result<std::vector<WalEntry>> read_wal(Env& env, const std::filesystem::path& path,
                                       const EncryptionKey* key) {
  auto scan = scan_wal(env, path, key);
  if (!scan.ok()) return scan.status();
  return std::move(scan->entries);
}

}  // namespace tessarine
