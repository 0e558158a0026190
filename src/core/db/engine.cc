#include "core/db/engine.h"

#include <mutex>
#include <shared_mutex>
#include <system_error>

#include "core/base/hash_map.h"
#include "core/collection/collection_ops.h"
#include "core/collection/filter_plan.h"
#include "core/collection/rebuild.h"
#include "core/db/apply.h"
#include "core/db/data_directory.h"
#include "core/format/persistence.h"
#include "core/format/snapshot_names.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

constexpr char kNoPath[] = "no path specified and Tessarine was created without data_dir";

Status collection_not_found(const std::string& name) {
  return Status::NotFound("collection '" + name + "' not found");
}

// The same error text with another kind: a failure that Python reports as
// RuntimeError whatever its cause.
Status as_runtime_error(const std::string& prefix, const Status& status) {
  const ErrorCode code =
      status.code() == ErrorCode::kInvalidData ? ErrorCode::kInvalidData : ErrorCode::kIo;
  return Status(code, prefix + status.message());
}

bool same_directory(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

Status check_embedding_locked(const LockedCollection& collection,
                              std::span<const float> embedding) {
  std::shared_lock guard(collection.lock);
  return check_embedding(collection.data, embedding);
}

Status log_failed(const Status& s) { return Status::Io("WAL write failed: " + s.message()); }

Status already_exists(const Uuid& id) {
  return Status::InvalidArgument("document '" + format_uuid(id) + "' already exists");
}

Status check_new_document(const LockedCollection& collection, const Document& document,
                          std::span<const float> embedding) {
  if (Status s = check_embedding_locked(collection, embedding); !s.ok()) return s;
  if (contains_document(collection, document.id)) return already_exists(document.id);
  return Status::Ok();
}

// Every embedding fits, no id comes twice, and (unless `allow_live`) no id
// is live: a batch is checked whole before anything is logged.
Status check_batch(const LockedCollection& collection,
                   const std::vector<DocumentAndEmbedding>& documents, bool allow_live) {
  HashSet<Uuid> batch_ids;
  for (const auto& [document, embedding] : documents) {
    if (Status s = check_embedding_locked(collection, embedding); !s.ok()) return s;
    if (!batch_ids.insert(document.id).second) {
      return Status::InvalidArgument("duplicate id '" + format_uuid(document.id) + "' in batch");
    }
    if (!allow_live && contains_document(collection, document.id)) {
      return already_exists(document.id);
    }
  }
  return Status::Ok();
}

}  // namespace

Engine::Engine(std::optional<std::string> data_dir, std::shared_ptr<const EncryptionKey> key,
               Env& env, CheckpointPolicy policy)
    : data_dir_(std::move(data_dir)), key_(std::move(key)), env_(env), policy_(policy) {}

Engine::~Engine() = default;

std::shared_ptr<Engine> Engine::create_in_memory(std::shared_ptr<const EncryptionKey> key) {
  return std::shared_ptr<Engine>(
      new Engine(std::nullopt, std::move(key), *Env::posix(), CheckpointPolicy{}));
}

Result<std::unique_ptr<Engine>> Engine::open(std::string data_dir,
                                             std::shared_ptr<const EncryptionKey> key, Env& env,
                                             CheckpointPolicy policy) {
  std::unique_ptr<Engine> engine(new Engine(std::move(data_dir), std::move(key), env, policy));
  if (Status s = engine->open_directory(); !s.ok()) return s;
  return engine;
}

Status Engine::open_directory() {
  const std::string& data_dir = *data_dir_;
  const fs::path dir(data_dir);
  const auto snapshots_failed = [&](const Status& s) {
    return Status::Io("failed to load snapshots from '" + data_dir + "': " + s.message());
  };
  const bool existed = env_.exists(dir);
  if (existed) {
    // A path that is not a directory fails here, before anything is created.
    if (auto listed = env_.list_dir(dir); !listed.ok()) return snapshots_failed(listed.status());
  } else if (Status s = env_.create_dirs(dir); !s.ok()) {
    return Status::Io("failed to open WAL: " + s.message());
  }
  // Held from before the first read until the database closes, so no other
  // process reads snapshots that this one is replacing, or appends to its log.
  auto lock = env_.lock_file(dir / kLockFileName);
  if (!lock.ok()) return Status::Other(lock.status().message());
  directory_lock_ = std::move(lock).value();

  std::unique_lock registry(registry_.lock());
  if (existed) {
    std::vector<std::string> unreadable;
    auto loaded = load_snapshots(env_, dir, key_.get(), &unreadable);
    if (!loaded.ok()) return snapshots_failed(loaded.status());
    unreadable_snapshots_.insert(unreadable.begin(), unreadable.end());
    for (CollectionHandle& handle : *loaded) {
      // When two files hold the same name, the later one in listing order wins.
      std::string name = handle->data.name;  // not shared with anyone yet
      registry_.replace_locked(std::move(name), std::move(handle));
    }
  }
  auto wal = SyncWriteAheadLog::open(env_, dir, key_);
  if (!wal.ok()) return Status::Io("failed to open WAL: " + wal.status().message());
  wal_ = std::move(wal).value();
  if (auto recovered = wal_->recover(); !recovered.ok()) {
    return Status::Io("WAL replay failed: " + recovered.status().message());
  }
  auto entries = read_wal(env_, wal_->path(), key_.get());
  if (!entries.ok()) return Status::Io("WAL replay failed: " + entries.status().message());
  for (WalEntry& entry : *entries) apply_entry(registry_, std::move(entry));
  registry.unlock();
  plan_next_checkpoint_locked();
  return Status::Ok();
}

void Engine::plan_next_checkpoint_locked() {
  if (wal_ == nullptr || policy_.log_ratio <= 0) return;
  const double scaled = policy_.log_ratio * static_cast<double>(total_memory_bytes());
  const uint64_t allowance =
      std::max<uint64_t>(policy_.min_log_bytes, static_cast<uint64_t>(scaled));
  next_checkpoint_at_ = wal_->size() + allowance;
}

void Engine::maybe_checkpoint() {
  if (wal_ == nullptr || wal_->size() < next_checkpoint_at_) return;
  // One writer runs it; others that crossed the line meanwhile go on.
  if (checkpoint_running_.exchange(true)) return;
  {
    std::unique_lock checkpoint(checkpoint_lock_);
    if (wal_->size() >= next_checkpoint_at_) {
      (void)checkpoint_locked(nullptr, nullptr);
      plan_next_checkpoint_locked();
    }
  }
  checkpoint_running_ = false;
}

Status Engine::log(const WalEntry& entry) {
  if (wal_ == nullptr) return Status::Ok();
  if (Status s = wal_->append(entry); !s.ok()) return log_failed(s);
  return Status::Ok();
}

Status Engine::create_collection(std::string name, uint64_t dimension, const HnswConfig& config) {
  std::shared_lock checkpoint(checkpoint_lock_);
  std::unique_lock registry(registry_.lock());
  WalEntry entry(CreateCollectionEntry{std::move(name), dimension, config});
  if (Status s = log(entry); !s.ok()) return s;
  return apply_collection_entry(registry_, std::move(entry));
}

Result<bool> Engine::delete_collection(std::string name) {
  CollectionHandle removed;  // released after the locks
  std::shared_lock checkpoint(checkpoint_lock_);
  std::unique_lock registry(registry_.lock());
  removed = registry_.find_locked(name);
  WalEntry entry(DeleteCollectionEntry{std::move(name)});
  if (Status s = log(entry); !s.ok()) return s;
  bool existed = false;
  if (Status s = apply_collection_entry(registry_, std::move(entry), &existed); !s.ok()) return s;
  return existed;
}

bool Engine::has_collection(std::string_view name) const {
  return registry_.get_collection(name) != nullptr;
}

std::vector<std::string> Engine::list_collections() const { return registry_.list_collections(); }

std::size_t Engine::collection_count() const { return registry_.size(); }

template <typename Plan>
Result<AppliedChange> Engine::write(const std::string& collection, Plan&& plan) {
  Result<AppliedChange> applied = AppliedChange{};
  {
    std::shared_lock checkpoint(checkpoint_lock_);
    std::shared_lock registry(registry_.lock());
    CollectionHandle handle = registry_.find_locked(collection);
    if (handle == nullptr) return collection_not_found(collection);
    std::lock_guard writer(handle->write_mutex);
    // The plan reads the collection as every earlier change left it.
    handle->pipeline.wait_until_idle();
    Result<std::optional<WalEntry>> entry = plan(*handle);
    if (!entry.ok()) return entry.status();
    if (!entry->has_value()) return AppliedChange{};
    if (Status s = log(**entry); !s.ok()) return s;
    applied = apply_document_entry(*handle, std::move(**entry));
  }
  maybe_checkpoint();
  return applied;
}

template <typename Plan>
Result<AppliedChange> Engine::write_new_documents(const std::string& collection,
                                                  std::span<const Uuid> ids, Plan&& plan) {
  if (wal_ == nullptr) return write(collection, std::forward<Plan>(plan));
  Result<AppliedChange> applied = AppliedChange{};
  {
    std::shared_lock checkpoint(checkpoint_lock_);
    std::shared_lock registry(registry_.lock());
    CollectionHandle handle = registry_.find_locked(collection);
    if (handle == nullptr) return collection_not_found(collection);
    WritePipeline& pipeline = handle->pipeline;
    SyncWriteAheadLog::Pending pending;
    std::optional<WalEntry> entry;
    std::optional<PipelineTicket> ticket;  // leaves in its turn on every way out
    {
      std::lock_guard writer(handle->write_mutex);
      // A change in flight to one of these documents is applied first, so
      // that the plan sees it.
      if (pipeline.touches_pending(ids)) pipeline.wait_until_idle();
      Result<std::optional<WalEntry>> planned = plan(*handle);
      if (!planned.ok()) return planned.status();
      if (!planned->has_value()) return AppliedChange{};
      entry = std::move(**planned);
      // The ticket first: once the record is queued, nothing may fail before
      // wait() is called.
      ticket.emplace(pipeline, ids);
      if (Status s = wal_->queue(*entry, pending); !s.ok()) return log_failed(s);
    }
    // Without write_mutex, so that later changes to this collection can take
    // their places in the log and share this record's sync.
    const Status logged = wal_->wait(pending);
    ticket->wait_for_turn();
    applied = logged.ok() ? apply_document_entry(*handle, std::move(*entry))
                          : Result<AppliedChange>(log_failed(logged));
  }
  maybe_checkpoint();
  return applied;
}

Result<Uuid> Engine::insert(const std::string& collection, Document document,
                            std::vector<float> embedding) {
  const Uuid id = document.id;
  auto applied =
      write_new_documents(collection, std::span(&id, 1),
                          [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
                            if (Status s = check_new_document(c, document, embedding); !s.ok())
                              return s;
                            return std::optional<WalEntry>(InsertDocumentEntry{
                                collection, std::move(document), std::move(embedding)});
                          });
  if (!applied.ok()) return applied.status();
  return applied->inserted.front();
}

Result<std::vector<Uuid>> Engine::batch_insert(const std::string& collection,
                                               std::vector<DocumentAndEmbedding> documents) {
  std::vector<Uuid> ids;
  ids.reserve(documents.size());
  for (const auto& [document, embedding] : documents) ids.push_back(document.id);
  auto applied = write_new_documents(
      collection, ids, [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
        if (Status s = check_batch(c, documents, /*allow_live=*/false); !s.ok()) return s;
        return std::optional<WalEntry>(BatchInsertEntry{collection, std::move(documents)});
      });
  if (!applied.ok()) return applied.status();
  return std::move(applied->inserted);
}

Result<bool> Engine::delete_document(const std::string& collection, const Uuid& id) {
  auto applied = write(collection, [&](const LockedCollection&) -> Result<std::optional<WalEntry>> {
    return std::optional<WalEntry>(DeleteDocumentEntry{collection, id});
  });
  if (!applied.ok()) return applied.status();
  return applied->deleted > 0;
}

Result<Uuid> Engine::upsert(const std::string& collection, Document document,
                            std::vector<float> embedding) {
  auto applied =
      write(collection, [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
        if (Status s = check_embedding_locked(c, embedding); !s.ok()) return s;
        if (contains_document(c, document.id)) {
          const Uuid id = document.id;
          return std::optional<WalEntry>(
              UpdateDocumentEntry{collection, id, std::move(document), std::move(embedding)});
        }
        return std::optional<WalEntry>(
            InsertDocumentEntry{collection, std::move(document), std::move(embedding)});
      });
  if (!applied.ok()) return applied.status();
  return applied->inserted.front();
}

Result<std::vector<Uuid>> Engine::batch_upsert(const std::string& collection,
                                               std::vector<DocumentAndEmbedding> documents) {
  auto applied =
      write(collection, [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
        if (Status s = check_batch(c, documents, /*allow_live=*/true); !s.ok()) return s;
        std::vector<Uuid> replaced;
        for (const auto& [document, embedding] : documents) {
          if (contains_document(c, document.id)) replaced.push_back(document.id);
        }
        if (replaced.empty()) {
          return std::optional<WalEntry>(BatchInsertEntry{collection, std::move(documents)});
        }
        return std::optional<WalEntry>(
            BatchWriteEntry{collection, std::move(replaced), std::move(documents)});
      });
  if (!applied.ok()) return applied.status();
  return std::move(applied->inserted);
}

Result<bool> Engine::update(const std::string& collection, const Uuid& id, DocumentPatch patch) {
  bool found = false;
  auto applied =
      write(collection, [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
        std::shared_lock guard(c.lock);
        auto stored = c.data.documents.find(id);
        if (stored == c.data.documents.end()) return std::optional<WalEntry>();
        found = true;
        if (patch.embedding) {
          if (Status s = check_embedding(c.data, *patch.embedding); !s.ok()) return s;
        }
        if (!patch.text && !patch.embedding && !patch.metadata) return std::optional<WalEntry>();
        const Document& old = *stored->second;
        Document next{id, patch.text ? std::move(*patch.text) : old.text,
                      patch.metadata ? std::move(*patch.metadata) : old.metadata};
        std::vector<float> embedding =
            patch.embedding ? std::move(*patch.embedding)
                            : c.data.hnsw.node_vector(c.data.uuid_to_internal.at(id));
        return std::optional<WalEntry>(
            UpdateDocumentEntry{collection, id, std::move(next), std::move(embedding)});
      });
  if (!applied.ok()) return applied.status();
  return found;
}

Result<uint64_t> Engine::delete_many(const std::string& collection, const std::vector<Uuid>& ids,
                                     const std::optional<Filter>& filter) {
  auto applied =
      write(collection, [&](const LockedCollection& c) -> Result<std::optional<WalEntry>> {
        std::vector<Uuid> doomed;
        HashSet<Uuid> seen;
        std::shared_lock guard(c.lock);
        for (const Uuid& id : ids) {
          if (c.data.documents.contains(id) && seen.insert(id).second) doomed.push_back(id);
        }
        if (filter) {
          for_each_live_document(c.data, [&](uint32_t internal, const auto& document) {
            if (passes_filter(c.data, internal, *filter) && seen.insert(document->id).second) {
              doomed.push_back(document->id);
            }
          });
        }
        if (doomed.empty()) return std::optional<WalEntry>();
        if (doomed.size() == 1)
          return std::optional<WalEntry>(DeleteDocumentEntry{collection, doomed[0]});
        return std::optional<WalEntry>(BatchWriteEntry{collection, std::move(doomed), {}});
      });
  if (!applied.ok()) return applied.status();
  return applied->deleted;
}

Result<std::shared_ptr<const Document>> Engine::get_document(const std::string& collection,
                                                             const Uuid& id) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return collection_not_found(collection);
  return tessarine::get_document(*handle, id);
}

Result<std::vector<std::shared_ptr<const Document>>> Engine::documents(
    const std::string& collection) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return collection_not_found(collection);
  return live_documents(*handle);
}

Result<CollectionSummary> Engine::collection_info(const std::string& name) const {
  CollectionHandle handle = registry_.get_collection(name);
  if (handle == nullptr) return collection_not_found(name);
  std::shared_lock guard(handle->lock);
  const Collection& c = handle->data;
  return CollectionSummary{c.name, c.dimension, c.documents.size(),
                           estimate_memory_bytes_locked(c)};
}

uint64_t Engine::total_memory_bytes() const {
  uint64_t total = 0;
  registry_.for_each_collection([&](const std::string&, const CollectionHandle& handle) {
    total += estimate_memory_bytes(*handle);
  });
  return total;
}

Result<std::vector<ScoredDocument>> Engine::search(const std::string& collection,
                                                   const SearchRequest& request) const {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return collection_not_found(collection);
  return search_collection(*handle, request);
}

Status Engine::checkpoint_locked(const std::string* first, const EncryptionKey* first_key) {
  const fs::path dir(*data_dir_);
  HashSet<std::string> written;
  const auto save_one = [&](const std::string& name, bool bare_error,
                            const EncryptionKey* key) -> Status {
    CollectionHandle handle = registry_.get_collection(name);
    if (handle == nullptr) return Status::Ok();  // deleted meanwhile
    std::string file_name;
    {
      std::shared_lock guard(handle->lock);
      file_name = snapshot_file_name(handle->data.name);
    }
    if (unreadable_snapshots_.contains(file_name)) {
      // Never write over bytes that could not be read: they may be the
      // only copy of a collection (a key given wrongly, a repairable file).
      if (Status s = move_unreadable_snapshot(env_, dir, file_name); !s.ok()) {
        return bare_error ? as_runtime_error("", s)
                          : as_runtime_error("save '" + name + "' failed: ", s);
      }
      unreadable_snapshots_.erase(file_name);
    }
    if (Status s = save_collection(env_, handle, dir, key); !s.ok()) {
      return bare_error ? as_runtime_error("", s)
                        : as_runtime_error("save '" + name + "' failed: ", s);
    }
    written.insert(std::move(file_name));
    return Status::Ok();
  };
  if (first != nullptr) {
    if (Status s = save_one(*first, true, first_key); !s.ok()) return s;
  }
  for (const std::string& name : registry_.list_collections()) {
    if (first != nullptr && name == *first) continue;
    if (Status s = save_one(name, false, key_.get()); !s.ok()) return s;
  }
  // Snapshots of deleted collections go; files that could not be read stay.
  written.insert(unreadable_snapshots_.begin(), unreadable_snapshots_.end());
  if (Status s = remove_stale_snapshots(env_, dir, written); !s.ok()) {
    return Status::Io("compact failed: " + s.message());
  }
  if (Status s = wal_->truncate(); !s.ok()) {
    return Status::Io("WAL truncate failed: " + s.message());
  }
  return Status::Ok();
}

Status Engine::save(const std::string& collection, const std::optional<std::string>& path,
                    std::shared_ptr<const EncryptionKey> key) {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return collection_not_found(collection);
  if (!path && !data_dir_) return Status::InvalidArgument(kNoPath);
  if (key == nullptr) key = key_;
  const fs::path target = path ? fs::path(*path) : fs::path(*data_dir_);
  if (durable() && same_directory(target, *data_dir_)) {
    // A save into the data directory is a checkpoint: every collection is
    // written so the log can be emptied without losing anything.
    std::unique_lock checkpoint(checkpoint_lock_);
    Status saved = checkpoint_locked(&collection, key.get());
    plan_next_checkpoint_locked();
    return saved;
  }
  if (Status s = save_collection(env_, handle, target, key.get()); !s.ok()) {
    return as_runtime_error("", s);
  }
  return Status::Ok();
}

Status Engine::load(const std::string& name, const std::optional<std::string>& path,
                    std::shared_ptr<const EncryptionKey> key) {
  if (!path && !data_dir_) return Status::InvalidArgument(kNoPath);
  const fs::path source = path ? fs::path(*path) : fs::path(*data_dir_);
  auto loaded = load_collection(env_, source / snapshot_file_name(name), key.get());
  if (!loaded.ok()) {
    return as_runtime_error("failed to load '" + name + "': ", loaded.status());
  }
  CollectionHandle handle = *loaded;
  const Collection& c = handle->data;  // not shared with anyone yet

  std::unique_lock checkpoint(checkpoint_lock_);
  Status created;
  {
    std::unique_lock registry(registry_.lock());
    registry_.erase_locked(name);
    created = registry_.create_locked(c.name, c.dimension, c.hnsw.config);
    if (created.ok()) {
      // The loaded collection is known by the requested name from now on, so
      // its snapshot is written under that name and found again there.
      handle->data.name = name;
      registry_.replace_locked(name, std::move(handle));
    }
  }
  // Bring the data directory in step with memory, also after a failed create
  // (the requested name is gone from the registry either way).
  if (durable()) {
    Status checkpointed = checkpoint_locked(nullptr, nullptr);
    plan_next_checkpoint_locked();
    if (!checkpointed.ok()) return checkpointed;
  }
  if (!created.ok()) return Status::Other(created.message());
  return Status::Ok();
}

Status Engine::compact() {
  if (!durable()) return Status::InvalidArgument("compact requires data_dir to be set");
  std::unique_lock checkpoint(checkpoint_lock_);
  Status compacted = checkpoint_locked(nullptr, nullptr);
  plan_next_checkpoint_locked();
  return compacted;
}

Result<uint64_t> Engine::rebuild(const std::string& collection) {
  CollectionHandle handle = registry_.get_collection(collection);
  if (handle == nullptr) return collection_not_found(collection);
  return tessarine::rebuild(*handle);
}

}  // namespace tessarine
