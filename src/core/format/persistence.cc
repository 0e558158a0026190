#include "core/format/persistence.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "core/base/two_threads.h"
#include "core/collection/collection_ops.h"
#include "core/format/checksum.h"
#include "core/format/codec.h"
#include "core/format/quoted_path.h"
#include "core/format/snapshot_writer.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMagicBytes = 4;
constexpr std::size_t kTrailerBytes = 8;  // magic + CRC
constexpr unsigned kSnapshotMode = 0600;
constexpr unsigned kDirectoryMode = 0700;

bool starts_with_magic(std::span<const uint8_t> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

std::string hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08x", value);
  return buffer;
}

// The record bytes of a snapshot file, after checking its frame: inside
// `bytes`, or for an encrypted file in `plaintext`.
Result<std::span<const uint8_t>> unframe(std::span<const uint8_t> bytes, const fs::path& path,
                                         const EncryptionKey* key,
                                         std::vector<uint8_t>& plaintext) {
  if (starts_with_magic(bytes, kEncryptedSnapshotMagic)) {
    if (key == nullptr) {
      return Status::InvalidData("snapshot " + quoted_path(path) +
                                 " is encrypted but no encryption key was provided");
    }
    Result<std::vector<uint8_t>> opened = key->decrypt(bytes.subspan(kMagicBytes));
    if (!opened.ok()) return opened.status();
    plaintext = std::move(opened).value();
    return std::span<const uint8_t>(plaintext);
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
                                 hex32(computed) + ". File may be corrupted: " + quoted_path(path));
    }
    return payload;  // the decoder ignores what follows the record anyway
  }
  return bytes;  // unframed: the whole file is the record
}

}  // namespace

Status save_collection(Env& env, const CollectionHandle& collection, const fs::path& dir,
                       const EncryptionKey* key) {
  // Directories created here reach stable storage with the snapshot.
  if (Status created = env.create_dirs(dir); !created.ok()) return created;
  // Snapshots are private to their owner; a directory we cannot narrow (one
  // we do not own) is still written to.
  (void)env.set_permissions(dir, kDirectoryMode);

  std::shared_lock guard(collection->lock);
  const fs::path snapshot = dir / snapshot_file_name(collection->data.name);
  fs::path temporary = snapshot;
  temporary += std::string(kTemporarySuffix);
  auto file = env.open_writable(temporary, OpenMode::kTruncate, kSnapshotMode);
  if (!file.ok()) return file.status();
  Status written;
  {
    // The record is encoded straight into the writer's buffers, which its
    // thread checks or seals and appends to the file while the next ones
    // fill; a large collection's documents and its tables are encoded on two
    // threads. Writers to the collection wait for the encoding (and so for
    // all but the last buffers' writing), not for the sync.
    SnapshotWriter writer(std::move(*file), key);
    encode_collection_to(collection->data, writer.front(), writer.back());
    guard.unlock();
    written = writer.finish();
  }  // the file is closed here, before a failed one is removed
  if (written.ok()) written = env.rename(temporary, snapshot);
  if (!written.ok()) {
    // A full disk must not keep a half-written copy around.
    (void)env.remove(temporary);  // best effort
    return written;
  }
  // The rename itself becomes durable with the directory.
  return env.sync_dir(dir);
}

Result<CollectionHandle> load_collection(Env& env, const fs::path& file, const EncryptionKey* key) {
  // One read of the whole file; the checksum and the decoder read it where
  // it lies.
  Result<std::unique_ptr<FileContents>> contents = env.map_file(file);
  if (!contents.ok()) return contents.status();
  Result<Collection> decoded = [&]() -> Result<Collection> {
    std::vector<uint8_t> plaintext;
    Result<std::span<const uint8_t>> payload = unframe((*contents)->bytes(), file, key, plaintext);
    if (!payload.ok()) return payload.status();
    return decode_collection(*payload);
  }();
  contents->reset();
  if (!decoded.ok()) return decoded.status();
  Collection& collection = *decoded;
  if (!collection.hnsw.config.store_raw_vectors) {
    std::vector<float>().swap(collection.hnsw.raw_vectors);
  }
  // The derived data is not stored in the file. The metadata index only
  // looks ids up, so it can be built from unchecked tables, beside the
  // checks; the vector index's derived values wait for them. The index's
  // many small blocks come from this thread's heap, which grows in large
  // steps (a second thread's grows a page at a time).
  Status valid;
  run_side_by_side(
      [&] {
        valid = validate_collection(collection);
        if (valid.ok()) collection.hnsw.restore_derived();
      },
      [&] { rebuild_metadata_index(collection); });
  if (!valid.ok()) return Status::InvalidData("snapshot validation failed: " + valid.message());
  return std::make_shared<LockedCollection>(std::move(collection));
}

}  // namespace tessarine
