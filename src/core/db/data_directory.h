// The snapshot files of a data directory as a whole: loading all of them at
// open, and removing those of collections that no longer exist at a
// checkpoint.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/base/hash_map.h"
#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/format/crypto.h"
#include "core/io/env.h"

namespace tessarine {

// True for a file name whose extension (the text after the last dot, the dot
// not being the first character) is exactly "tsr".
bool is_snapshot_file_name(const std::string& file_name);

// Loads every snapshot file of `dir` in listing order. A snapshot that fails
// to load is skipped (its file name is added to `unreadable` when given);
// only a failure to list the directory is an error.
Result<std::vector<CollectionHandle>> load_snapshots(
    Env& env, const std::filesystem::path& dir, const EncryptionKey* key,
    std::vector<std::string>* unreadable = nullptr);

// Renames a snapshot file that could not be read to "{file}.unreadable-N"
// (the smallest N not taken; never overwriting) and syncs the directory, so
// a checkpoint can write the collection's new snapshot without destroying
// the old bytes.
Status move_unreadable_snapshot(Env& env, const std::filesystem::path& dir,
                                const std::string& file_name);

// Removes the snapshot files of `dir` whose names are not in `keep`, then
// syncs the directory so the removal is durable.
Status remove_stale_snapshots(Env& env, const std::filesystem::path& dir,
                              const HashSet<std::string>& keep);

}  // namespace tessarine
