// The write-ahead log: every change is appended to "wal.bin" in the data
// directory and synced to stable storage before it is applied in memory; the
// log is read back when the directory is opened again and emptied after a
// checkpoint (save or compact).
//
// File format: a plain concatenation of records, no file header.
//   offset 0, 4 bytes: payload length n, u32 big-endian
//   offset 4, 4 bytes: check field, u32 big-endian: the CRC-32 (zlib) of the
//                      payload for a plain record, FF FF FF FF for a sealed one
//   offset 8, n bytes: the encoded WalEntry, or its sealed form
//                      (nonce || ciphertext || tag) when the log has a key
// Records are sealed exactly when the log has a key; plain and sealed records
// may be mixed in one file and each is read by its own check field. A check
// field of FF FF FF FF is also the CRC of some plain payloads: such a record
// is read as sealed when it opens under the key, else as plain when its CRC
// is FF FF FF FF.
//
// Reading stops quietly at the end of the file, at a torn record (the file
// ends inside a header or a payload), and at a corrupt record (CRC mismatch,
// a sealed record without a key, or one that does not open under the key).
// A record that passes its check but does not decode is skipped.
//
// Opening a data directory, in this order:
//   1. SyncWriteAheadLog::open(env, data_dir, key)   creates the file if needed
//   2. log->recover()                                makes the file end at a record
//   3. read_wal(env, log->path(), key)               the entries to replay
// recover() cuts the log back to the end of the last good record, so that
// records appended afterwards are read by the next open instead of being
// hidden behind bytes that reading stops at. The bytes cut, a torn tail as
// well as a corrupt record and everything after it, are first copied to a
// side file "wal.bin.corrupt-<n>" next to the log (n = 1, 2, ...: the
// smallest number not yet taken; never overwritten), which is synced with its
// directory entry before the log is cut: recovery destroys no byte. That
// matters because a torn tail cannot be told from damage: one flipped bit in
// the length field of a middle record makes it reach past the end of the
// file, and every acknowledged record after it would look like the tail.
// Note that sealed records met without the key (or under a different key) are
// unreadable in this sense and are moved aside as well.
//
// All file access goes through an Env (io/env.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/base/status.h"
#include "core/format/crypto.h"
#include "core/format/wal_entry.h"
#include "core/io/env.h"

namespace tessarine {

inline constexpr char kWalFileName[] = "wal.bin";
// A side file is named kWalFileName + kWalCorruptInfix + a decimal number.
inline constexpr char kWalCorruptInfix[] = ".corrupt-";
inline constexpr std::size_t kWalHeaderSize = 8;
inline constexpr uint32_t kWalSealedCheck = 0xFFFFFFFF;
// The length field is 32 bits wide; a longer payload cannot be framed.
inline constexpr uint64_t kWalMaxPayloadSize = 0xFFFFFFFF;

// Refuses (kOther) a payload of more than kWalMaxPayloadSize bytes:
// "log entry too large: {} bytes (maximum 4294967295)".
Status check_wal_payload_size(uint64_t payload_size);

// The complete framed record for `entry`: plain with its CRC-32, or sealed
// when `key` is not null. Fails only when the payload cannot be framed.
Result<std::vector<uint8_t>> build_wal_record(const WalEntry& entry, const EncryptionKey* key);

// What recover() changed in the log file. At most one of the two counts is
// nonzero, and side_file is set exactly when one is.
struct WalRecovery {
  uint64_t torn_bytes_moved = 0;                   // an incomplete last record
  uint64_t corrupt_bytes_moved = 0;                // an unreadable record and everything after it
  std::optional<std::filesystem::path> side_file;  // where the bytes cut from the log went
};

// The log writer. Thread-safe, with group commit: appends wait in a queue
// under the writer mutex, and the one at its front (the leader) writes its
// record together with those queued behind it, up to a size limit, as one
// write followed by one sync, with the mutex released while it waits for the
// disk. Appends that arrive meanwhile queue up and are written by the next
// leader, so under concurrent appends one sync covers many records. Records
// reach the file whole and in queue order and never interleave; every append
// returns once its own record is synced, or with the error of its group.
// truncate() and recover() wait for their turn in the same queue, so they
// never cut the file under a leader's write.
//
// The log knows nothing of checkpoints: its owner keeps a checkpoint lock,
// held shared around each append and the change it logs, and exclusively
// around saving snapshots and truncate(), so that no record falls between a
// snapshot and the emptying of the log. Lock order: that checkpoint lock, then
// the collections' locks, then the writer mutex.
class SyncWriteAheadLog {
 public:
  // Opens (creating with permissions 0600 if missing) data_dir/"wal.bin" for
  // appending and syncs the directory so the file's entry is durable. The
  // directory must exist. `key` may be null: records are then plain. `env`
  // must outlive the log.
  static Result<std::unique_ptr<SyncWriteAheadLog>> open(Env& env,
                                                         const std::filesystem::path& data_dir,
                                                         std::shared_ptr<const EncryptionKey> key);

  ~SyncWriteAheadLog();
  SyncWriteAheadLog(const SyncWriteAheadLog&) = delete;
  SyncWriteAheadLog& operator=(const SyncWriteAheadLog&) = delete;

  // Makes the file end at the last good record, as described at the top of
  // this file. Call once, after open and before reading and appending.
  Result<WalRecovery> recover();

  // Frames the entry (before any lock), queues the record and returns once a
  // leader (this call or an earlier one) has written and synced it with its
  // group. Two appends whose calls do not overlap reach the file in call
  // order: a caller that holds a lock across append and apply therefore gets
  // its changes logged in the order it applies them.
  // Durable when it returns Ok. On a write or sync error every append of the
  // group gets the error and the group's records are cut off again; if even
  // that fails the file may end in a partial record (which the next open's
  // recover() cuts) and every later append fails until truncate() succeeds,
  // so that no acknowledged record is ever written behind a broken one.
  Status append(const WalEntry& entry);

  // An append in two steps, for a caller that fixes the record's place in
  // the log under a lock of its own but should not hold that lock while the
  // disk works: queue() frames the record and takes its place (appends queued
  // later are written after it), wait() returns what append() would. Every
  // append queued behind this one waits until this call's wait() has led or
  // joined a group, so between the two the caller must not block on anything
  // (another append included). Appends queued meanwhile by other callers can
  // then share the record's write and sync.
  class Pending;
  Status queue(const WalEntry& entry, Pending& pending);
  Status wait(Pending& pending);

  // Empties the log and syncs it. The caller holds its checkpoint lock
  // exclusively. Fails without changing the writer when the file cannot be
  // opened (for example after it was deleted).
  Status truncate();

  const std::filesystem::path& path() const { return path_; }

  // Bytes of complete records in the log (what a reopen would replay).
  uint64_t size();

 private:
  SyncWriteAheadLog(Env& env, std::filesystem::path path, std::unique_ptr<WritableFile> file,
                    uint64_t size, std::shared_ptr<const EncryptionKey> key);
  // One call waiting in the queue: an append (its framed record) or, with an
  // empty record, a truncate() or recover() that needs the file to itself.
  struct Writer {
    explicit Writer(std::span<const uint8_t> record) : record(record) {}
    std::span<const uint8_t> record;
    Status status;                 // the outcome, set by the leader that wrote it
    bool done = false;             // set by a leader other than this call
    std::condition_variable turn;  // signalled when done or at the queue's front
  };

 public:
  // A queued append's record and place in the queue; wait() must be called
  // before it goes away when queue() succeeded.
  class Pending {
   public:
    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

   private:
    friend class SyncWriteAheadLog;
    std::vector<uint8_t> record_;
    std::optional<Writer> writer_;
  };

 private:
  // Queues `self` and waits until it is at the front of the queue (it leads)
  // or a leader has finished it.
  void wait_for_turn_locked(std::unique_lock<std::mutex>& lock, Writer& self);
  // Waits until the queued `self` is at the front of the queue or finished.
  void wait_queued_locked(std::unique_lock<std::mutex>& lock, Writer& self);
  // The rest of an append once `self` is queued: waits for its turn, then
  // either returns the outcome an earlier leader gave it or leads a group.
  Status lead_or_wait_locked(std::unique_lock<std::mutex>& lock, Writer& self);
  // The appends written together with the leader's: the leader and those
  // queued right behind it, up to a size limit and never past a writer that
  // needs the file to itself.
  std::vector<Writer*> take_group_locked();
  // Writes and syncs the group's records, with the mutex released; cuts them
  // off again on failure.
  Status write_group(std::unique_lock<std::mutex>& lock, const std::vector<Writer*>& group);
  // Removes the first `count` writers from the queue, hands `status` to all
  // but the first (the leader, which returns it itself) and wakes the next leader.
  void finish_locked(std::size_t count, const Status& status);

  Env& env_;
  const std::filesystem::path path_;
  const std::shared_ptr<const EncryptionKey> key_;
  std::mutex mutex_;             // guards the fields below; the file itself belongs to the leader
  std::deque<Writer*> writers_;  // waiting appends, oldest (the leader) first
  std::unique_ptr<WritableFile> file_;
  uint64_t end_offset_;           // end of the last complete record written or found
  std::optional<Status> broken_;  // set when a failed append could not be undone
};

// The readable entries of the log at `path`, in file order (`key` may be
// null). Stops quietly as described at the top of this file; fails only on
// an I/O error other than the end of the file. Does not modify the file.
Result<std::vector<WalEntry>> read_wal(Env& env, const std::filesystem::path& path,
                                       const EncryptionKey* key);

// Why reading the log stopped.
enum class WalStop {
  kEnd,               // the file ends right after the last record
  kTornHeader,        // the file ends inside a record's 8-byte header
  kTornPayload,       // the file ends before the payload its length field announces
  kChecksumMismatch,  // a plain record whose CRC-32 does not match its payload
  kSealedWithoutKey,  // a sealed record, and no key was given
  kSealedNotOpened,   // a sealed record that does not open under the key given
};

// True for kTornHeader and kTornPayload, the stops recover() counts as torn
// (the others, but kEnd, it counts as corrupt).
inline bool wal_stop_is_torn(WalStop stop) {
  return stop == WalStop::kTornHeader || stop == WalStop::kTornPayload;
}

// A record that passed its check but does not decode; reading skips it.
struct WalSkippedRecord {
  uint64_t offset = 0;
  std::string error;  // the decoder's message
};

// What one read of the log finds: read_wal's entries, the records it skips
// and where and why it stops.
struct WalScan {
  std::vector<WalEntry> entries;
  std::vector<WalSkippedRecord> skipped;
  WalStop stop = WalStop::kEnd;
  // Where the record that stopped the reading begins; at kEnd the end of the
  // last record. recover() would move the bytes from here on aside.
  uint64_t stop_offset = 0;
  // The length field of the record that stopped the reading, when its
  // header is whole (every stop but kEnd and kTornHeader).
  uint64_t stop_length = 0;
  uint64_t file_size = 0;  // when reading began
};

// Reads the log at `path` exactly as read_wal does (the same entries, the
// same place to stop) and reports the rest. Does not modify the file.
Result<WalScan> scan_wal(Env& env, const std::filesystem::path& path, const EncryptionKey* key);

}  // namespace tessarine
