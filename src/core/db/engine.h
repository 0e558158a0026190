// The database: the registry of collections and, for a durable database,
// its data directory, write-ahead log and checkpoints. Every data-changing
// operation goes through it in three steps: check, log, apply. The log is
// synced before memory changes, so a change a call acknowledged survives a
// crash; a change whose log append failed is not made.
//
// Thread safety: every method may be called from any number of threads at
// once. Locks, always taken in this order:
//   1. checkpoint_lock_   shared by every write (from its log append until its
//                         change is applied), exclusive for a checkpoint, so
//                         a checkpoint never falls between the two;
//   2. the registry lock  shared by document writes and searches, exclusive
//                         for creating, deleting and loading collections;
//   3. a collection's write_mutex, held while a change is checked and takes
//                         its place in the log, and for changes other than
//                         inserts until they are applied, so the log holds a
//                         collection's changes in the order they are applied
//                         (the collection's WritePipeline mutex is taken
//                         under it or alone);
//   4. the log's writer mutex, then (released first) the collection's
//                         reader-writer lock for the change itself.
// The log commits in groups: writes that wait for the disk at the same time
// share one write and one sync. Inserts into one collection wait for the disk
// without its write_mutex and are applied in ticket (log) order; any other
// change to a collection first lets the inserts in flight be applied, so
// replaying the log applies each collection's changes in the order memory
// got them; changes to different collections commute, and collections are
// created and deleted only under the registry lock held exclusively.
// Searches take only the registry lock briefly and the collection's lock
// shared.
//
// Durable databases are opened through open_database() (db/open_directories.h),
// which keeps one Engine per data directory in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/rwlock.h"
#include "core/base/status.h"
#include "core/collection/collection_search.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/db/apply.h"
#include "core/db/database.h"
#include "core/format/crypto.h"
#include "core/format/wal.h"
#include "core/format/wal_entry.h"
#include "core/hnsw/config.h"
#include "core/io/env.h"

namespace tessarine {

// Name of the lock file a durable database holds in its data directory.
inline constexpr char kLockFileName[] = "LOCK";

// When a durable database checkpoints by itself: once the log holds more
// than `log_ratio` times the database's estimated size in bytes (and at
// least `min_log_bytes`), the write that grew it past that point writes every
// snapshot and empties the log, as compact() does. Reopening then replays at
// most that much log, and the snapshots written along an ingest add up to a
// bounded multiple of the final size. A ratio of 0 turns it off.
struct CheckpointPolicy {
  double log_ratio = 0.1;
  uint64_t min_log_bytes = 1 << 20;
};

struct CollectionSummary {
  std::string name;
  uint64_t dimension = 0;
  uint64_t document_count = 0;
  uint64_t memory_bytes = 0;
};

using DocumentAndEmbedding = std::pair<Document, std::vector<float>>;

// The fields an update replaces; absent fields keep their stored value.
struct DocumentPatch {
  std::optional<std::string> text;
  std::optional<std::vector<float>> embedding;
  std::optional<Metadata> metadata;
};

// A stored document, with its stored embedding when it was asked for: the
// raw vector when the collection keeps raw vectors, else the scalar-quantized
// codes decoded to floats.
struct StoredDocument {
  std::shared_ptr<const Document> document;
  std::vector<float> embedding;
};

class Engine {
 public:
  // A database in memory only: no log; save and load need an explicit path.
  // `key` (may be null) is the default key of save.
  static std::shared_ptr<Engine> create_in_memory(std::shared_ptr<const EncryptionKey> key);

  // Opens `data_dir` on its own: takes the directory's lock file, loads its
  // snapshots, creates the directory when missing, opens the log, moves
  // unreadable log bytes aside and replays the rest. Prefer open_database(),
  // which shares one Engine per directory in the process. Errors (all
  // RuntimeError in Python): "failed to load snapshots from '{}': {}",
  // "failed to open WAL: {}", "WAL replay failed: {}", and the lock file's
  // "data directory {} is in use by another process ...".
  static Result<std::unique_ptr<Engine>> open(std::string data_dir,
                                              std::shared_ptr<const EncryptionKey> key, Env& env,
                                              CheckpointPolicy policy = {});

  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Collections. create_collection logs before it asks the registry, so a
  // failing duplicate is logged too (replay ignores it).
  Status create_collection(std::string name, uint64_t dimension, const HnswConfig& config);
  Result<bool> delete_collection(std::string name);
  bool has_collection(std::string_view name) const;
  std::vector<std::string> list_collections() const;
  std::size_t collection_count() const;

  // Documents. insert and batch_insert check every item first (embedding
  // length and finiteness, ids not live, no id twice in a batch) and change
  // nothing when one fails. delete_document logs even an unknown id.
  Result<Uuid> insert(const std::string& collection, Document document,
                      std::vector<float> embedding);
  Result<std::vector<Uuid>> batch_insert(const std::string& collection,
                                         std::vector<DocumentAndEmbedding> documents);
  Result<bool> delete_document(const std::string& collection, const Uuid& id);

  // Insert, or replace a live document with the same id (text, embedding
  // and metadata together). A replacement is logged as an update entry, a
  // batch that replaces documents as one batch-write entry, so a reopen
  // applies all of it or none.
  Result<Uuid> upsert(const std::string& collection, Document document,
                      std::vector<float> embedding);
  Result<std::vector<Uuid>> batch_upsert(const std::string& collection,
                                         std::vector<DocumentAndEmbedding> documents);
  // Replaces the given fields of a live document; false (nothing logged)
  // for an id that is not live. Logged as an update entry.
  Result<bool> update(const std::string& collection, const Uuid& id, DocumentPatch patch);
  // Deletes the given ids and every document passing `filter` (when given);
  // returns how many live documents were deleted. Logged as one entry.
  Result<uint64_t> delete_many(const std::string& collection, const std::vector<Uuid>& ids,
                               const std::optional<Filter>& filter);

  // Reads. count and find evaluate `filter` like search does (nothing: every
  // live document); find returns documents in insertion order, skipping
  // `offset` matches and returning at most `limit`.
  Result<uint64_t> count(const std::string& collection, const std::optional<Filter>& filter) const;
  Result<std::vector<std::optional<StoredDocument>>> get_many(const std::string& collection,
                                                              const std::vector<Uuid>& ids,
                                                              bool include_embedding) const;
  Result<std::vector<StoredDocument>> find(const std::string& collection,
                                           const std::optional<Filter>& filter, uint64_t offset,
                                           std::optional<uint64_t> limit,
                                           bool include_embedding) const;
  // nullptr when the document is not live; kNotFound for an unknown collection.
  Result<std::shared_ptr<const Document>> get_document(const std::string& collection,
                                                       const Uuid& id) const;

  // The live documents of a collection in insertion order.
  Result<std::vector<std::shared_ptr<const Document>>> documents(
      const std::string& collection) const;

  Result<CollectionSummary> collection_info(const std::string& name) const;
  uint64_t total_memory_bytes() const;

  Result<std::vector<ScoredDocument>> search(const std::string& collection,
                                             const SearchRequest& request) const;
  // One search per query embedding, with the other fields of `request`,
  // answered on up to `threads` threads (0: one per core). Every query is
  // checked before any search runs; results come back in query order and
  // equal what search() returns for each.
  Result<std::vector<std::vector<ScoredDocument>>> search_batch(
      const std::string& collection, std::vector<std::vector<float>> queries,
      const SearchRequest& request, unsigned threads = 0) const;

  // Snapshots. `path` defaults to the data directory; `key` (may be null)
  // to the database's key for save, to none for load. A save into the data
  // directory, a load and compact are checkpoints: every collection's
  // snapshot is written, snapshots of collections that no longer exist are
  // removed, then the log is emptied, so a reopen shows exactly what memory
  // shows. A save elsewhere leaves the log alone.
  Status save(const std::string& collection, const std::optional<std::string>& path,
              std::shared_ptr<const EncryptionKey> key);
  Status load(const std::string& name, const std::optional<std::string>& path,
              std::shared_ptr<const EncryptionKey> key);
  Status compact();

  // Rebuilds a collection's indexes (not logged: the documents stay the same).
  Result<uint64_t> rebuild(const std::string& collection);

  bool durable() const { return wal_ != nullptr; }
  // The data directory as it was passed when the database was opened.
  const std::optional<std::string>& data_dir() const { return data_dir_; }
  const std::shared_ptr<const EncryptionKey>& key() const { return key_; }

 private:
  Engine(std::optional<std::string> data_dir, std::shared_ptr<const EncryptionKey> key, Env& env,
         CheckpointPolicy policy);

  Status open_directory();
  // Appends the entry when the database has a log.
  Status log(const WalEntry& entry);
  // One logged change to a collection, under the locks described above:
  // plan(collection) checks the request and returns the entry to log, or
  // nothing when there is nothing to change; the entry is then logged and
  // applied with apply_document_entry.
  template <typename Plan>
  Result<AppliedChange> write(const std::string& collection, Plan&& plan);
  // The same for a change that only adds the documents `ids`: it waits for
  // the disk without the collection's write_mutex, so that several such
  // changes to one collection share a sync, and is applied in log order.
  template <typename Plan>
  Result<AppliedChange> write_new_documents(const std::string& collection,
                                            std::span<const Uuid> ids, Plan&& plan);
  // Writes every collection's snapshot into the data directory (`first`
  // first, under `first_key`, its failure reported bare as save reports
  // it), removes stale snapshots and empties the log. The caller holds
  // checkpoint_lock_ exclusively.
  Status checkpoint_locked(const std::string* first, const EncryptionKey* first_key);
  // Runs an automatic checkpoint when the log has grown past the policy's
  // point; called after a write has released every lock. A failure leaves
  // the log as it is (the write it followed is durable) and waits for the
  // log to grow by the same amount again before the next attempt.
  void maybe_checkpoint();
  // Sets the log size at which the next automatic checkpoint runs. The
  // caller holds checkpoint_lock_ exclusively (or is opening the database).
  void plan_next_checkpoint_locked();

  const std::optional<std::string> data_dir_;
  const std::shared_ptr<const EncryptionKey> key_;
  Env& env_;
  std::unique_ptr<FileLock> directory_lock_;
  std::unique_ptr<SyncWriteAheadLog> wal_;
  mutable RwLock checkpoint_lock_;
  Database registry_;
  const CheckpointPolicy policy_;
  // Snapshot files that did not load at open (damaged, or sealed under a
  // key this database does not have). Checkpoints never remove them; one
  // whose name a collection's snapshot needs is moved aside first. Guarded
  // by checkpoint_lock_ held exclusively.
  HashSet<std::string> unreadable_snapshots_;
  std::atomic<uint64_t> next_checkpoint_at_{UINT64_MAX};  // log bytes
  std::atomic<bool> checkpoint_running_{false};
};

}  // namespace tessarine
