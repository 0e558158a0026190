// Many threads on one collection at once: inserts, deletes, every search
// path, rebuilds and snapshots; and appenders racing a truncating checkpoint
// on one log. Run under ThreadSanitizer too (make test-tsan); the checks at
// the end catch what a data race would leave behind.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/base/rwlock.h"
#include "core/collection/collection_ops.h"
#include "core/collection/collection_search.h"
#include "core/collection/rebuild.h"
#include "core/db/database.h"
#include "core/format/persistence.h"
#include "core/format/snapshot_validation.h"
#include "core/format/wal.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kDimension = 8;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::path(::testing::TempDir()) / "concurrency_test_XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::vector<float> random_embedding(std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<float> v(kDimension);
  for (float& x : v) x = unit(rng);
  return v;
}

// Which ids were deleted and when, on a clock that searches read before they
// start: a search may return a document deleted after it started, never one
// deleted before.
class DeletionLog {
 public:
  uint64_t now() const { return clock_.load(); }
  void record(const Uuid& id) {
    std::lock_guard guard(mutex_);
    deleted_at_[id] = clock_.fetch_add(1) + 1;
  }
  bool deleted_before(const Uuid& id, uint64_t time) const {
    std::lock_guard guard(mutex_);
    auto it = deleted_at_.find(id);
    return it != deleted_at_.end() && it->second <= time;
  }
  std::size_t size() const {
    std::lock_guard guard(mutex_);
    return deleted_at_.size();
  }

 private:
  std::atomic<uint64_t> clock_{0};
  mutable std::mutex mutex_;
  HashMap<Uuid, uint64_t> deleted_at_;
};

// Ids inserted and not yet handed to the deleter.
class LiveIds {
 public:
  void add(const Uuid& id) {
    std::lock_guard guard(mutex_);
    ids_.push_back(id);
  }
  bool take(std::mt19937& rng, Uuid* out) {
    std::lock_guard guard(mutex_);
    if (ids_.empty()) return false;
    const std::size_t i = rng() % ids_.size();
    *out = ids_[i];
    ids_[i] = ids_.back();
    ids_.pop_back();
    return true;
  }
  std::vector<Uuid> snapshot() const {
    std::lock_guard guard(mutex_);
    return ids_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Uuid> ids_;
};

Filter tag_filter(const std::string& tag) {
  Filter filter;
  FilterCondition condition;
  condition.field = "tag";
  condition.op = FilterOp::Eq;
  condition.value = JsonValue(tag);
  filter.must.push_back(condition);
  return filter;
}

void expect_id_tables_consistent(const Collection& c) {
  ASSERT_EQ(c.internal_to_uuid.size(), c.hnsw.node_count);
  ASSERT_EQ(c.uuid_to_internal.size(), c.internal_to_uuid.size());
  for (const auto& [id, internal] : c.uuid_to_internal) {
    ASSERT_LT(internal, c.internal_to_uuid.size());
    EXPECT_EQ(c.internal_to_uuid[internal], id);
  }
  for (const auto& [id, document] : c.documents) {
    auto it = c.uuid_to_internal.find(id);
    ASSERT_NE(it, c.uuid_to_internal.end());
    EXPECT_EQ(c.hnsw.deleted[it->second], 0) << "a live document's node is a tombstone";
  }
}

TEST(ConcurrencyTest, MixedOperationsOnOneCollectionKeepItConsistent) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.path().empty());
  Database database;
  HnswConfig config;
  config.m = 8;
  config.m_max0 = 16;
  config.ef_construction = 32;
  config.store_raw_vectors = true;
  ASSERT_TRUE(database.create_collection("shared", kDimension, config).ok());
  CollectionHandle collection = database.get_collection("shared");
  ASSERT_NE(collection, nullptr);

  constexpr int kInserters = 2;
  constexpr int kInsertsEach = 250;
  LiveIds live;
  DeletionLog deletions;
  std::atomic<int> inserters_running{kInserters};
  std::atomic<int> failures{0};
  std::atomic<int> searches{0};
  std::atomic<std::size_t> inserted{0};
  auto fail = [&](const std::string& what) {
    ADD_FAILURE() << what;
    failures.fetch_add(1);
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kInserters; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(100 + t);
      for (int i = 0; i < kInsertsEach; ++i) {
        Metadata metadata;
        metadata["tag"] = std::string(i % 2 == 0 ? "even" : "odd");
        metadata["n"] = int64_t{i};
        const std::string text = "thread" + std::to_string(t) + " words number " +
                                 std::to_string(i) + (i % 3 == 0 ? " server" : " client");
        Result<Uuid> id = insert_document(*collection, Document::create(text, std::move(metadata)),
                                          random_embedding(rng));
        if (!id.ok()) {
          fail("insert failed: " + id.status().message());
          continue;
        }
        if (i % 50 == 49) {
          // Re-inserting a live id is refused without harm. (The id is not
          // yet offered to the deleter, so it is surely still live.)
          Result<Uuid> again =
              insert_document(*collection, Document{*id, "dup", {}}, random_embedding(rng));
          if (again.ok()) fail("a live id was inserted twice");
        }
        live.add(*id);
        inserted.fetch_add(1);
      }
      inserters_running.fetch_sub(1);
    });
  }

  threads.emplace_back([&] {  // deleter
    std::mt19937 rng(7);
    while (inserters_running.load() > 0) {
      Uuid id;
      // About one delete for every three inserts.
      if (inserted.load() < 3 * (deletions.size() + 1) || !live.take(rng, &id)) {
        std::this_thread::yield();
        continue;
      }
      if (!delete_document(*collection, id)) fail("deleting a live document returned false");
      deletions.record(id);
      if (delete_document(*collection, id)) fail("a document was deleted twice");
    }
  });

  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {  // searchers: every path in turn
      std::mt19937 rng(200 + t);
      int round = 0;
      while (inserters_running.load() > 0) {
        SearchRequest request;
        request.k = 10;
        switch (round++ % 4) {
          case 0:
            request.query_embedding = random_embedding(rng);
            break;
          case 1:
            request.query_text = "server words";
            break;
          case 2:
            request.query_embedding = random_embedding(rng);
            request.filter = tag_filter("even");
            break;
          default:
            request.query_embedding = random_embedding(rng);
            request.query_text = "client";
            request.filter = tag_filter("odd");
            break;
        }
        const uint64_t started = deletions.now();
        Result<std::vector<ScoredDocument>> results = search_collection(*collection, request);
        if (!results.ok()) {
          fail("search failed: " + results.status().message());
          continue;
        }
        searches.fetch_add(1);
        for (const ScoredDocument& hit : *results) {
          if (hit.document == nullptr) {
            fail("search returned a null document");
          } else if (deletions.deleted_before(hit.document->id, started)) {
            fail("search returned a document deleted before it started");
          }
          if (request.filter && !request.filter->must.empty()) {
            const auto tag = hit.document->metadata.find("tag");
            const std::string& wanted = std::get<std::string>(*request.filter->must[0].value);
            if (tag == hit.document->metadata.end() ||
                std::get<std::string>(tag->second) != wanted) {
              fail("filtered search returned a document the filter refuses");
            }
          }
        }
        if (round % 16 == 0) {  // a sweep of gets now and then
          for (const Uuid& id : live.snapshot()) (void)get_document(*collection, id);
        }
      }
    });
  }

  threads.emplace_back([&] {  // rebuilder
    while (inserters_running.load() > 0) {
      (void)rebuild(*collection);
      std::this_thread::yield();
    }
  });

  threads.emplace_back([&] {  // snapshots, each loaded back and checked
    int round = 0;
    while (inserters_running.load() > 0) {
      const fs::path dir = scratch.path() / ("snapshots" + std::to_string(round++ % 2));
      Status saved = save_collection(*Env::posix(), collection, dir, nullptr);
      if (!saved.ok()) {
        fail("save failed: " + saved.message());
        continue;
      }
      Result<CollectionHandle> loaded =
          load_collection(*Env::posix(), dir / snapshot_file_name("shared"), nullptr);
      if (!loaded.ok())
        fail("a snapshot taken under load does not load: " + loaded.status().message());
    }
  });

  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);
  EXPECT_GT(searches.load(), 0);

  // Every live document is found by get; the deleted ones are gone.
  const std::vector<Uuid> survivors = live.snapshot();
  EXPECT_EQ(survivors.size() + deletions.size(), std::size_t{kInserters * kInsertsEach});
  EXPECT_EQ(document_count(*collection), survivors.size());
  for (const Uuid& id : survivors) {
    EXPECT_NE(get_document(*collection, id), nullptr) << format_uuid(id);
  }
  {
    std::shared_lock guard(collection->lock);
    expect_id_tables_consistent(collection->data);
    Status valid = validate_collection(collection->data);
    EXPECT_TRUE(valid.ok()) << valid.message();
  }

  // A search as wide as the collection sees exactly the live documents.
  SearchRequest everything;
  everything.query_embedding = std::vector<float>(kDimension, 0.5f);
  everything.k = kInserters * kInsertsEach;
  Result<std::vector<ScoredDocument>> all = search_collection(*collection, everything);
  ASSERT_TRUE(all.ok());
  for (const ScoredDocument& hit : *all) {
    EXPECT_FALSE(deletions.deleted_before(hit.document->id, deletions.now()));
  }

  // A final rebuild drops every tombstone and keeps every live document.
  EXPECT_EQ(rebuild(*collection), survivors.size());
  std::shared_lock guard(collection->lock);
  expect_id_tables_consistent(collection->data);
  EXPECT_EQ(collection->data.hnsw.node_count, survivors.size());
}

// Appenders on several threads while a checkpoint truncates now and then: no
// record is torn or interleaved, each thread's records stay in its order, and
// a reopened log recovers nothing. The checkpoint lock is held the way the
// log's owner holds it: shared around each append, exclusive around truncate.
TEST(ConcurrencyTest, LogAppendsRaceTruncationWithoutTearingRecords) {
  ScratchDir scratch;
  ASSERT_FALSE(scratch.path().empty());
  Result<std::unique_ptr<SyncWriteAheadLog>> opened =
      SyncWriteAheadLog::open(*Env::posix(), scratch.path(), nullptr);
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  SyncWriteAheadLog& log = **opened;

  RwLock checkpoint_lock;
  constexpr int kAppenders = 3;
  constexpr int kAppendsEach = 60;
  std::atomic<int> appenders_running{kAppenders};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kAppenders; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kAppendsEach; ++i) {
        InsertDocumentEntry entry;
        entry.collection = {'w', static_cast<char>('0' + t)};
        entry.document.text = std::string(static_cast<std::size_t>(10 + i * 7), 'a' + t);
        entry.document.metadata["i"] = int64_t{i};
        entry.embedding = std::vector<float>(static_cast<std::size_t>(i % 5), 1.0f);
        std::shared_lock checkpoint(checkpoint_lock);
        if (!log.append(entry).ok()) failures.fetch_add(1);
      }
      appenders_running.fetch_sub(1);
    });
  }
  threads.emplace_back([&] {  // checkpoints
    while (appenders_running.load() > 0) {
      {
        std::unique_lock checkpoint(checkpoint_lock);
        if (!log.truncate().ok()) failures.fetch_add(1);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  threads.emplace_back([&] {  // a reader that may meet a record being written
    while (appenders_running.load() > 0) {
      if (!read_wal(*Env::posix(), log.path(), nullptr).ok()) failures.fetch_add(1);
    }
  });
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(failures.load(), 0);

  Result<std::vector<WalEntry>> entries = read_wal(*Env::posix(), log.path(), nullptr);
  ASSERT_TRUE(entries.ok());
  std::vector<int64_t> last_seen(kAppenders, -1);
  for (const WalEntry& entry : *entries) {
    const auto* insert = std::get_if<InsertDocumentEntry>(&entry);
    ASSERT_NE(insert, nullptr);
    const int t = insert->collection[1] - '0';
    ASSERT_TRUE(t >= 0 && t < kAppenders) << insert->collection;
    const int64_t i = std::get<int64_t>(insert->document.metadata.at("i"));
    EXPECT_GT(i, last_seen[t]) << "records of one thread out of order";
    last_seen[t] = i;
    EXPECT_EQ(insert->document.text, std::string(static_cast<std::size_t>(10 + i * 7), 'a' + t));
    EXPECT_EQ(insert->embedding.size(), static_cast<std::size_t>(i % 5));
  }

  opened->reset();
  Result<std::unique_ptr<SyncWriteAheadLog>> reopened =
      SyncWriteAheadLog::open(*Env::posix(), scratch.path(), nullptr);
  ASSERT_TRUE(reopened.ok());
  Result<WalRecovery> recovery = (*reopened)->recover();
  ASSERT_TRUE(recovery.ok());
  EXPECT_EQ(recovery->torn_bytes_moved, 0u);
  EXPECT_EQ(recovery->corrupt_bytes_moved, 0u);
  Result<std::vector<WalEntry>> after = read_wal(*Env::posix(), (*reopened)->path(), nullptr);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(after->size(), entries->size());
}

}  // namespace
}  // namespace tessarine
