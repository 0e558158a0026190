// A read-only look at a data directory: what each snapshot file holds, how
// far the log reads and why it stops there, which side files lie next to it,
// and the collections an open would end up with (the snapshots with the log
// replayed on top, in memory).
//
// Unlike opening, an inspection changes nothing on disk: it takes no lock
// file, moves no log bytes aside and creates nothing. So it may look at a
// directory that another process has open; a change being written meanwhile
// can then show as a torn tail.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/base/status.h"
#include "core/format/crypto.h"
#include "core/format/wal.h"
#include "core/hnsw/config.h"
#include "core/io/env.h"

namespace tessarine {

// How a snapshot file is framed (see core/format/persistence.h).
enum class SnapshotFraming {
  kPlain,      // record, "TCR1", CRC-32
  kEncrypted,  // "TCE1", sealed record
  kUnframed,   // neither: read as a bare record, unchecked
};

struct CollectionReport {
  std::string name;
  uint64_t dimension = 0;
  uint64_t document_count = 0;  // live documents
  HnswConfig config;            // metric, raw vectors and the index parameters
};

struct SnapshotReport {
  std::string file_name;
  uint64_t size = 0;
  SnapshotFraming framing = SnapshotFraming::kUnframed;
  std::optional<CollectionReport> collection;  // when the file loads
  std::string error;                           // why it does not load, else empty
};

struct LogReport {
  bool present = false;  // a missing log is created by the next open
  uint64_t size = 0;
  uint64_t entries = 0;                   // readable entries, replayed at open
  std::vector<WalSkippedRecord> skipped;  // records that pass their check but do not decode
  WalStop stop = WalStop::kEnd;
  uint64_t stop_offset = 0;  // where reading stops; the bytes from here on are not replayed
  uint64_t stop_length = 0;  // the length field there, when its header is whole
  std::string error;         // an I/O error that kept the log from being read, else empty
};

struct SideFileReport {
  std::string file_name;  // "wal.bin.corrupt-N": log bytes an earlier open moved aside
  uint64_t size = 0;
};

struct DirectoryReport {
  std::vector<SnapshotReport> snapshots;  // by file name
  LogReport log;
  std::vector<SideFileReport> side_files;     // by number
  std::vector<CollectionReport> collections;  // by name, as an open would hold them
  // One line for each thing an open would drop or skip: snapshots that do
  // not load, two snapshots of one collection, log records that are skipped,
  // then (always last) log bytes where reading stops early. Empty for a
  // healthy directory.
  std::vector<std::string> problems;
};

// Inspects the data directory `dir` with `key` (may be null: no key). Fails
// only when the directory cannot be listed (it is missing, or not a
// directory); every unreadable file inside it is a problem in the report.
Result<DirectoryReport> inspect_data_directory(Env& env, const std::filesystem::path& dir,
                                               const EncryptionKey* key);

}  // namespace tessarine
