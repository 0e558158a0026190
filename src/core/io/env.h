// The one door to the file system. The log, snapshots and data directories
// open, write, sync, rename and remove files only through an Env, so a test
// can substitute one that fails on purpose or forgets unsynced bytes
// (tests/core/io/fault_injection_env.h). Env::posix() is the real one.
//
// Every failure is kIo, worded "{action} {path}: {strerror} (os error {n})",
// for example "sync /data/wal.bin: No space left on device (os error 28)"
// (a rename names both paths: "rename {from} to {to}: ...").
// Calls interrupted by a signal are retried. Thread-safety: an Env may be
// used from any thread; a WritableFile or FileLock by one thread at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/status.h"

namespace tessarine {

// How open_writable treats an existing file.
enum class OpenMode {
  kAppend,           // keep its contents; writes go to the end (created when missing)
  kTruncate,         // empty it first (created when missing)
  kCreateExclusive,  // fail with EEXIST when it exists
  kExisting,         // keep its contents like kAppend, but fail with ENOENT when missing
};

// The error every Env reports for a failed call: kIo with
// "{action} {subject}: {strerror(error)} (os error {error})".
Status os_error(std::string_view action, std::string_view subject, int error);
Status os_error(std::string_view action, const std::filesystem::path& path, int error);

// A file open for reading only.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to out.size() bytes at `offset` (fewer only at the end of the file).
  virtual Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) = 0;
  virtual Result<uint64_t> size() = 0;
  virtual const std::filesystem::path& path() const = 0;
};

// A whole file's bytes, read-only, valid while the object lives.
class FileContents {
 public:
  virtual ~FileContents() = default;
  virtual std::span<const uint8_t> bytes() const = 0;
};

// A file open for writing. Bytes appended are durable only after sync().
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Writes all of `bytes` at the end of the file.
  virtual Status append(std::span<const uint8_t> bytes) = 0;
  // Flushes the file's data to stable storage (the strongest flush the
  // platform has).
  virtual Status sync() = 0;
  // Asks the system to start writing the bytes appended so far to disk, so
  // that a later sync() has less left to wait for. Only a hint: it reports
  // nothing and makes nothing durable.
  virtual void start_writeback() {}
  // Cuts the file to `size` bytes; later appends continue at the new end.
  virtual Status truncate(uint64_t size) = 0;
  // Reads up to out.size() bytes at `offset` (fewer only at the end of the file).
  virtual Result<std::size_t> read_at(uint64_t offset, std::span<uint8_t> out) = 0;
  virtual Result<uint64_t> size() = 0;
  // Closes now, reporting a late write error; the destructor closes quietly.
  virtual Status close() = 0;
  virtual const std::filesystem::path& path() const = 0;
};

// Held while a data directory is open; released when destroyed.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

class Env {
 public:
  virtual ~Env() = default;

  // The process's real file system.
  static Env* posix();

  // Opens `path` for writing with `permissions` for a new file (existing
  // files are narrowed to them too). Never follows a symbolic link as the
  // last component.
  virtual Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path,
                                                              OpenMode mode,
                                                              unsigned permissions) = 0;
  // Opens `path` for reading (a symbolic link is followed).
  virtual Result<std::unique_ptr<ReadableFile>> open_readable(
      const std::filesystem::path& path) = 0;
  // The whole file (a symbolic link is followed).
  virtual Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path) = 0;
  // The whole file (a symbolic link is followed), for large files read once,
  // such as snapshots. It holds a copy (the default one from read_file), not
  // a mapping: a mapping would turn a file that another process cuts short
  // while it is read (a snapshot given by path may be anywhere) into a SIGBUS
  // instead of an error.
  virtual Result<std::unique_ptr<FileContents>> map_file(const std::filesystem::path& path);
  // Replaces `to` by `from` atomically.
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Removes a file; a missing file is not an error.
  virtual Status remove(const std::filesystem::path& path) = 0;
  // Makes the directory's entries (files created, renamed or removed in it)
  // durable. A file system that cannot sync directories is not an error.
  virtual Status sync_dir(const std::filesystem::path& dir) = 0;
  // Creates `dir` and its missing parents (0777 before the umask), syncing
  // the parent of each directory it creates. An existing directory is fine.
  virtual Status create_dirs(const std::filesystem::path& dir) = 0;
  // Sets the permission bits of `path` (chmod).
  virtual Status set_permissions(const std::filesystem::path& path, unsigned permissions) = 0;
  // The names (not paths) of the entries of `dir`, in the platform's order.
  virtual Result<std::vector<std::string>> list_dir(const std::filesystem::path& dir) = 0;
  // True when `path` exists (a failing status query counts as missing).
  virtual bool exists(const std::filesystem::path& path) = 0;
  // Takes an exclusive advisory lock on `path` (created 0600 when missing)
  // without waiting. When another process holds it, fails with
  // "data directory {dir} is in use by another process (pid {n})" ({dir}
  // is the lock file's directory); the pid is written into the lock file by
  // its holder, and "(pid {n})" is left out when it cannot be read. That
  // failure is kIo like every other, so callers report it as they report
  // any failure to open a data directory.
  virtual Result<std::unique_ptr<FileLock>> lock_file(const std::filesystem::path& path) = 0;
};

}  // namespace tessarine
