// Snapshot files: one collection per file, exactly as it is in memory, so
// loading needs no index rebuild.
//
// Layouts (P is the collection's binary record, L its length):
//   plain:     P, "TCR1", CRC-32 of P (zlib's, big-endian)          L + 8 bytes
//   encrypted: "TCE1", nonce (12), AES-256-GCM ciphertext of P, tag (16)
//   unframed:  any file that is neither is read as P alone, unchecked.
// A file is encrypted when it starts with "TCE1", else plain when the four
// bytes 8 before its end are "TCR1", else unframed (so is any file shorter
// than 4 bytes).
#pragma once

#include <filesystem>
#include <string_view>

#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/format/crypto.h"
#include "core/format/snapshot_names.h"
#include "core/format/snapshot_validation.h"
#include "core/io/env.h"

namespace tessarine {

inline constexpr std::string_view kPlainSnapshotMagic = "TCR1";
inline constexpr std::string_view kEncryptedSnapshotMagic = "TCE1";

// Writes the collection's snapshot to dir / snapshot_file_name(name), sealed
// under `key` when one is given (nullptr: plain). Holds the collection's lock
// shared while it encodes (SnapshotWriter writes the file meanwhile), not
// through the sync. Creates `dir` (and parents) and sets it to 0700; writes
// a temporary file next to the snapshot with mode 0600, syncs it, renames it
// over the snapshot and syncs the directory, so after a crash the snapshot
// is either the old file or the complete new one. On failure the previous
// snapshot is untouched and the temporary file is removed again. Errors are
// the Env's (kIo, naming the operation and the path).
Status save_collection(Env& env, const CollectionHandle& collection,
                       const std::filesystem::path& dir, const EncryptionKey* key);

// Reads the snapshot file `file` into a new collection. `key` is used only
// for an encrypted file. Errors: the Env's kIo when the file cannot be read;
// kInvalidData for
//   "snapshot {path} is encrypted but no encryption key was provided",
//   the decryption errors of EncryptionKey::decrypt,
//   "Snapshot CRC32 mismatch: expected {stored}, got {computed}. File may be corrupted: {path}"
//   (checksums as 0x and eight lower-case hex digits),
//   the record decoder's messages as they stand, and
//   "snapshot validation failed: {}" with validate_collection's message.
// Paths are written as quoted_path() shows them. Raw vectors are dropped when
// the collection does not keep them.
Result<CollectionHandle> load_collection(Env& env, const std::filesystem::path& file,
                                         const EncryptionKey* key);

}  // namespace tessarine
