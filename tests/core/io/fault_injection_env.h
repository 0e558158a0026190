// An Env for tests that fails on purpose and forgets what was never synced.
//
// Faults: fail(FileOp::kSync, 1, "wal.bin") makes the next sync of a file
// whose path contains "wal.bin" fail with EIO, worded as the real Env words
// it ("sync /dir/wal.bin: Input/output error (os error 5)"). limit_space(n)
// simulates a full disk: appends fail with ENOSPC once n more bytes have
// been written, the append that crosses the limit writing what fits first.
//
// Power loss: drop_unsynced() puts the files written through this Env back
// the way a crash right now could leave them: every file is cut back to its
// size at its last sync, files created since their directory was last synced
// are deleted, and renames and removals not followed by a sync of their
// directory are undone (a rename's replaced target gets its old contents
// back). Call it with no file of this Env open; then reopen the data through
// the normal code. Like LevelDB's fault-injection test, it is pessimistic in
// one direction only: whatever was not synced is lost, and a truncation is
// taken as durable at once.
//
// Thread-safe: every call is serialised by one mutex.
#pragma once

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/io/env.h"

namespace tessarine::testing {

// The kinds of calls a fault can hit.
enum class FileOp {
  kWrite,     // WritableFile::append
  kSync,      // WritableFile::sync
  kTruncate,  // WritableFile::truncate
  kRename,    // Env::rename (matched on either path)
  kRemove,    // Env::remove
  kSyncDir,   // Env::sync_dir
  kOpen,      // open_writable, open_readable, read_file, lock_file
  kRead,      // read_at of either file kind, read_file, list_dir
};

class FaultInjectionEnv : public Env {
 public:
  static constexpr int kAlways = -1;

  explicit FaultInjectionEnv(Env* base = Env::posix()) : base_(base) {}

  // The next `times` calls of kind `op` (kAlways: every call) on a path that
  // contains `path_part` fail with `error`. Earlier faults are matched first.
  void fail(FileOp op, int times = 1, std::string path_part = "", int error = EIO);
  // Removes every fault and the space limit.
  void clear_faults();
  // Appends beyond `bytes` more bytes fail with ENOSPC; nothing is given
  // back by truncation or removal.
  void limit_space(uint64_t bytes);
  // How many injected faults have fired so far.
  int faults_fired() const;
  // Calls `hook` with the file's path at the start of every WritableFile
  // sync, before any fault is matched and outside this Env's lock, so a test
  // can hold a sync back while other threads queue behind it. Set it before
  // the files are used.
  void before_sync(std::function<void(const std::filesystem::path&)> hook);

  // Simulates a power loss as described at the top of this file.
  Status drop_unsynced();

  Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path,
                                                      OpenMode mode, unsigned permissions) override;
  Result<std::unique_ptr<ReadableFile>> open_readable(const std::filesystem::path& path) override;
  Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status remove(const std::filesystem::path& path) override;
  Status sync_dir(const std::filesystem::path& dir) override;
  Status create_dirs(const std::filesystem::path& dir) override;
  Status set_permissions(const std::filesystem::path& path, unsigned permissions) override;
  Result<std::vector<std::string>> list_dir(const std::filesystem::path& dir) override;
  bool exists(const std::filesystem::path& path) override;
  Result<std::unique_ptr<FileLock>> lock_file(const std::filesystem::path& path) override;

 private:
  class File;
  class Readable;

  struct Fault {
    FileOp op;
    int remaining;  // kAlways: never runs out
    std::string path_part;
    int error;
  };
  // A change to a directory's entries that its directory has not synced yet.
  struct PendingEntry {
    enum Kind { kCreate, kRename, kRemove } kind;
    std::filesystem::path dir;
    std::filesystem::path path;  // created, renamed to, or removed
    std::filesystem::path from;  // kRename: the old name
    // kRename: what the replaced target held; kRemove: what the file held.
    std::optional<std::vector<uint8_t>> previous;
  };

  // The error of the first fault matching the call, if any (counts it down).
  std::optional<int> take_fault_locked(FileOp op, const std::filesystem::path& path,
                                       const std::filesystem::path& other = {});
  // The durable part of a file as a crash would leave it, for undoing.
  std::optional<std::vector<uint8_t>> durable_contents_locked(const std::filesystem::path& path);
  Status write_contents_locked(const std::filesystem::path& path,
                               const std::vector<uint8_t>& bytes);

  // Called by File.
  Status append(WritableFile& file, std::span<const uint8_t> bytes);
  Status sync(WritableFile& file);
  Status truncate(WritableFile& file, uint64_t size);
  Result<std::size_t> read_at(const std::filesystem::path& path,
                              const std::function<Result<std::size_t>()>& read);

  Env* const base_;
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  int faults_fired_ = 0;
  std::optional<uint64_t> space_left_;
  // Files written through this Env, by their current path: the size at
  // their last sync.
  std::map<std::filesystem::path, uint64_t> synced_size_;
  std::vector<PendingEntry> pending_;  // oldest first
  std::function<void(const std::filesystem::path&)> before_sync_;
};

}  // namespace tessarine::testing
