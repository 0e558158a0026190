#include "core/db/inspect.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>

#include "core/db/apply.h"
#include "core/db/data_directory.h"
#include "core/db/database.h"
#include "core/format/persistence.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

bool bytes_at(ReadableFile& file, uint64_t offset, std::string_view expected) {
  uint8_t buffer[8] = {};
  auto got = file.read_at(offset, {buffer, expected.size()});
  return got.ok() && *got == expected.size() &&
         std::memcmp(buffer, expected.data(), expected.size()) == 0;
}

// The framing load_collection recognises, in its order: encrypted by the
// first four bytes, else plain by the four bytes eight before the end.
SnapshotFraming framing_of(ReadableFile& file, uint64_t size) {
  const std::size_t magic = kEncryptedSnapshotMagic.size();
  if (size >= magic && bytes_at(file, 0, kEncryptedSnapshotMagic)) {
    return SnapshotFraming::kEncrypted;
  }
  if (size >= 2 * magic && bytes_at(file, size - 2 * magic, kPlainSnapshotMagic)) {
    return SnapshotFraming::kPlain;
  }
  return SnapshotFraming::kUnframed;
}

CollectionReport report_of(const LockedCollection& collection) {
  std::shared_lock guard(collection.lock);
  const Collection& c = collection.data;
  return CollectionReport{c.name, c.dimension, c.documents.size(), c.hnsw.config};
}

// Loads one snapshot file as an open would; `loaded` receives the collection.
SnapshotReport inspect_snapshot(Env& env, const fs::path& path, const EncryptionKey* key,
                                CollectionHandle* loaded) {
  SnapshotReport report;
  report.file_name = path.filename().string();
  auto file = env.open_readable(path);
  if (!file.ok()) {
    report.error = file.status().message();
    return report;
  }
  auto size = (*file)->size();
  if (!size.ok()) {
    report.error = size.status().message();
    return report;
  }
  report.size = *size;
  report.framing = framing_of(**file, *size);
  file->reset();  // load_collection opens it again

  auto handle = load_collection(env, path, key);
  if (!handle.ok()) {
    report.error = handle.status().message();
    return report;
  }
  report.collection = report_of(**handle);
  *loaded = std::move(handle).value();
  return report;
}

LogReport inspect_log(Env& env, const fs::path& path, const EncryptionKey* key,
                      std::vector<WalEntry>* entries) {
  LogReport report;
  report.present = env.exists(path);
  if (!report.present) return report;
  auto scan = scan_wal(env, path, key);
  if (!scan.ok()) {
    report.error = scan.status().message();
    return report;
  }
  report.size = scan->file_size;
  report.entries = scan->entries.size();
  report.skipped = std::move(scan->skipped);
  report.stop = scan->stop;
  report.stop_offset = scan->stop_offset;
  report.stop_length = scan->stop_length;
  *entries = std::move(scan->entries);
  return report;
}

// What stopped the reading, for a problem line.
std::string describe_stop(const LogReport& log) {
  const std::string at = " at offset " + std::to_string(log.stop_offset);
  switch (log.stop) {
    case WalStop::kEnd:
      return "the end";
    case WalStop::kTornHeader:
      return "a torn record" + at + " (the file ends inside its 8-byte header)";
    case WalStop::kTornPayload: {
      const uint64_t follow = log.size - std::min(log.size, log.stop_offset + kWalHeaderSize);
      return "a torn record" + at + " (its length field announces " +
             std::to_string(log.stop_length) + " bytes, " + std::to_string(follow) + " follow)";
    }
    case WalStop::kChecksumMismatch:
      return "a corrupt record" + at + " (its CRC-32 does not match its payload)";
    case WalStop::kSealedWithoutKey:
      return "an encrypted record" + at + ", and no key was given";
    case WalStop::kSealedNotOpened:
      return "an encrypted record" + at +
             " that does not open under the key given (wrong key or damaged)";
  }
  return "an unknown stop";
}

void add_log_problems(const LogReport& log, std::vector<std::string>* problems) {
  const std::string name = std::string("log ") + kWalFileName;
  if (!log.error.empty()) {
    problems->push_back(name + " cannot be read: " + log.error);
    return;
  }
  for (const WalSkippedRecord& record : log.skipped) {
    problems->push_back(
        name + ": the record at offset " + std::to_string(record.offset) +
        " passes its check but does not decode, so it is not replayed: " + record.error);
  }
  if (log.stop != WalStop::kEnd) {
    problems->push_back(name + " stops at " + describe_stop(log) + ": the " +
                        std::to_string(log.size - log.stop_offset) +
                        " bytes from there on are not replayed, and opening the directory "
                        "moves them to a side file");
  }
}

// The number N of a side file "wal.bin.corrupt-N", for sorting; names
// without one sort last.
uint64_t side_file_number(std::string_view name) {
  name.remove_prefix(std::min(name.size(), std::string_view(kWalFileName).size() +
                                               std::string_view(kWalCorruptInfix).size()));
  uint64_t number = 0;
  for (char c : name) {
    if (c < '0' || c > '9' || number > UINT64_MAX / 10 - 1) return UINT64_MAX;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  return name.empty() ? UINT64_MAX : number;
}

}  // namespace

Result<DirectoryReport> inspect_data_directory(Env& env, const fs::path& dir,
                                               const EncryptionKey* key) {
  auto names = env.list_dir(dir);
  if (!names.ok()) return names.status();
  DirectoryReport report;
  // The collections an open would hold: snapshots registered in listing
  // order (a later file of the same name wins, as at open), then the log.
  Database registry;
  std::unique_lock registry_guard(registry.lock());
  std::map<std::string, std::vector<std::string>> files_of_collection;
  const std::string side_prefix = std::string(kWalFileName) + kWalCorruptInfix;

  for (const std::string& name : *names) {
    if (is_snapshot_file_name(name)) {
      CollectionHandle loaded;
      report.snapshots.push_back(inspect_snapshot(env, dir / name, key, &loaded));
      if (loaded != nullptr) {
        files_of_collection[loaded->data.name].push_back(name);
        std::string collection = loaded->data.name;
        registry.replace_locked(std::move(collection), std::move(loaded));
      }
    } else if (name.starts_with(side_prefix)) {
      SideFileReport side{name, 0};
      if (auto file = env.open_readable(dir / name); file.ok()) {
        if (auto size = (*file)->size(); size.ok()) side.size = *size;
      }
      report.side_files.push_back(std::move(side));
    }
  }

  std::vector<WalEntry> entries;
  report.log = inspect_log(env, dir / kWalFileName, key, &entries);
  for (WalEntry& entry : entries) apply_entry(registry, std::move(entry));
  registry_guard.unlock();
  for (const std::string& name : registry.list_collections()) {
    if (CollectionHandle handle = registry.get_collection(name)) {
      report.collections.push_back(report_of(*handle));
    }
  }

  std::sort(report.snapshots.begin(), report.snapshots.end(),
            [](const auto& a, const auto& b) { return a.file_name < b.file_name; });
  std::sort(report.side_files.begin(), report.side_files.end(), [](const auto& a, const auto& b) {
    return std::pair(side_file_number(a.file_name), a.file_name) <
           std::pair(side_file_number(b.file_name), b.file_name);
  });
  std::sort(report.collections.begin(), report.collections.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });

  for (const SnapshotReport& snapshot : report.snapshots) {
    if (!snapshot.error.empty()) {
      report.problems.push_back("snapshot " + snapshot.file_name +
                                " does not load: " + snapshot.error);
    }
  }
  for (auto& [collection, files] : files_of_collection) {
    if (files.size() < 2) continue;
    const std::string kept = files.back();  // the last one registered
    std::sort(files.begin(), files.end());
    std::string list;
    for (const std::string& file : files) list += (list.empty() ? "" : ", ") + file;
    report.problems.push_back("collection '" + collection + "' is in " +
                              std::to_string(files.size()) + " snapshot files (" + list +
                              "): an open keeps only one of them (" + kept + " here)");
  }
  add_log_problems(report.log, &report.problems);
  return report;
}

}  // namespace tessarine
