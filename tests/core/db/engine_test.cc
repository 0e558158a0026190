#include "core/db/engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/db/open_directories.h"
#include "db_test_util.h"

namespace tessarine {
namespace {

using testing::Contents;
using testing::contents_of;
using testing::ScopedTempDir;

std::vector<float> vec(int i) { return {static_cast<float>(i % 5), 1.0f, 0.5f, -1.0f}; }

Uuid id_of(int i) {
  Uuid id{};
  id.bytes[15] = static_cast<uint8_t>(i);
  id.bytes[6] = 0x40;
  id.bytes[8] = 0x80;
  return id;
}

Document doc(int i, std::string text = "") {
  return Document{id_of(i), text.empty() ? "doc " + std::to_string(i) : text, {}};
}

std::unique_ptr<Engine> open_engine(const std::string& dir,
                                    std::shared_ptr<const EncryptionKey> key = nullptr) {
  auto opened = Engine::open(dir, std::move(key), *Env::posix());
  EXPECT_TRUE(opened.ok()) << opened.status().message();
  return opened.ok() ? std::move(opened).value() : nullptr;
}

// Every kind of change, live, then the same directory reopened: replay goes
// through the same apply path, so the contents match exactly.
TEST(EngineTest, ReopenShowsExactlyWhatLiveWritesMade) {
  ScopedTempDir dir;
  Contents before;
  {
    auto db = open_engine(dir.data_dir());
    ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->create_collection("gone", 4, HnswConfig{}).ok());
    EXPECT_EQ(db->create_collection("a", 8, HnswConfig{}).code(), ErrorCode::kAlreadyExists);
    ASSERT_TRUE(db->insert("a", doc(1), vec(1)).ok());
    std::vector<DocumentAndEmbedding> batch;
    for (int i = 2; i < 6; ++i) batch.emplace_back(doc(i), vec(i));
    ASSERT_TRUE(db->batch_insert("a", batch).ok());
    EXPECT_TRUE(*db->delete_document("a", id_of(3)));
    EXPECT_FALSE(*db->delete_document("a", id_of(99)));
    ASSERT_TRUE(db->insert("a", doc(3, "back again"), vec(7)).ok());  // a deleted id returns
    // Replacements and multi-document changes: update and batch-write entries.
    ASSERT_EQ(*db->upsert("a", doc(1, "upserted"), vec(9)), id_of(1));
    ASSERT_TRUE(db->upsert("a", doc(8), vec(8)).ok());
    ASSERT_TRUE(
        *db->update("a", id_of(2), DocumentPatch{"patched text", std::nullopt, Metadata{}}));
    EXPECT_FALSE(*db->update("a", id_of(77), DocumentPatch{"nobody", std::nullopt, std::nullopt}));
    ASSERT_TRUE(
        db->batch_upsert("a", {{doc(4, "replaced in batch"), vec(4)}, {doc(9), vec(9)}}).ok());
    EXPECT_EQ(*db->delete_many("a", {id_of(8), id_of(9), id_of(55)}, std::nullopt), 2u);
    ASSERT_TRUE(db->insert("gone", doc(1), vec(1)).ok());
    EXPECT_TRUE(*db->delete_collection("gone"));
    EXPECT_FALSE(*db->delete_collection("never"));
    before = contents_of(*db);
    // A rebuild renumbers internal ids but keeps insertion order.
    ASSERT_TRUE(db->rebuild("a").ok());
    EXPECT_EQ(contents_of(*db), before);
  }
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before["a"].size(), 6u);  // dimension line + five documents
  // A replacement is inserted anew: 5, 3, then 1 (upserted), 2 (updated), 4 (batch-upserted).
  EXPECT_NE(before["a"][3].find("upserted"), std::string::npos);
  auto reopened = open_engine(dir.data_dir());
  EXPECT_EQ(contents_of(*reopened), before);
}

TEST(EngineTest, ChecksComeBeforeTheLogAndChangeNothing) {
  ScopedTempDir dir;
  auto db = open_engine(dir.data_dir());
  ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
  ASSERT_TRUE(db->insert("a", doc(1), vec(1)).ok());
  const auto wal_size = [&] { return std::filesystem::file_size(dir.path() / "data" / "wal.bin"); };
  const auto size_before = wal_size();

  struct Case {
    const char* what;
    std::vector<DocumentAndEmbedding> batch;
    const char* message;
  };
  const std::vector<float> nan = {1.0f, std::nanf(""), 0.0f, 0.0f};
  std::vector<Case> cases;
  cases.push_back({"live id", {{doc(1), vec(1)}}, "already exists"});
  cases.push_back({"twice in the batch", {{doc(7), vec(1)}, {doc(7), vec(2)}}, "in batch"});
  cases.push_back({"wrong length", {{doc(8), {1.0f, 2.0f}}}, "dimensions"});
  cases.push_back({"not finite", {{doc(9), nan}}, "NaN"});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = db->batch_insert("a", c.batch);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.status().code(), ErrorCode::kInvalidArgument);
    EXPECT_NE(result.status().message().find(c.message), std::string::npos)
        << result.status().message();
    if (c.batch.size() == 1) {
      EXPECT_FALSE(db->insert("a", c.batch[0].first, c.batch[0].second).ok());
    }
  }
  EXPECT_EQ(db->insert("missing", doc(2), vec(2)).status().code(), ErrorCode::kNotFound);
  EXPECT_EQ(wal_size(), size_before);
  EXPECT_EQ(db->collection_info("a")->document_count, 1u);
}

TEST(EngineTest, CheckpointsEmptyTheLogAndKeepEverything) {
  ScopedTempDir dir;
  Contents before;
  {
    auto db = open_engine(dir.data_dir());
    ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->create_collection("b", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->insert("a", doc(1), vec(1)).ok());
    ASSERT_TRUE(db->insert("b", doc(2), vec(2)).ok());
    // A save into the data directory checkpoints every collection.
    ASSERT_TRUE(db->save("a", std::nullopt, nullptr).ok());
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "data" / "wal.bin"), 0u);
    ASSERT_TRUE(db->insert("b", doc(3), vec(3)).ok());
    ASSERT_TRUE(*db->delete_collection("a"));
    ASSERT_TRUE(db->compact().ok());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data" / "a.tsr"));
    before = contents_of(*db);
  }
  auto reopened = open_engine(dir.data_dir());
  EXPECT_EQ(contents_of(*reopened), before);
}

TEST(EngineTest, ReadsByIdAndFilterAndWritesByFilter) {
  auto db = Engine::create_in_memory(nullptr);
  HnswConfig raw;
  raw.store_raw_vectors = true;
  ASSERT_TRUE(db->create_collection("a", 4, raw).ok());
  for (int i = 0; i < 10; ++i) {
    Document d = doc(i);
    d.metadata["i"] = MetadataValue(int64_t{i});
    ASSERT_TRUE(db->insert("a", d, vec(i)).ok());
  }
  Filter even;
  even.must.push_back(
      FilterCondition{"i",
                      std::vector<JsonValue>{JsonValue(uint64_t{0}), JsonValue(uint64_t{2}),
                                             JsonValue(uint64_t{4})},
                      std::nullopt, FilterOp::In});
  EXPECT_EQ(*db->count("a", std::nullopt), 10u);
  EXPECT_EQ(*db->count("a", even), 3u);
  auto page = db->find("a", std::nullopt, 3, 4, true);
  ASSERT_TRUE(page.ok());
  ASSERT_EQ(page->size(), 4u);
  EXPECT_EQ(page->front().document->id, id_of(3));  // insertion order, after the offset
  EXPECT_EQ(page->front().embedding, vec(3));       // raw vectors come back exactly
  auto many = db->get_many("a", {id_of(5), id_of(42), id_of(0)}, false);
  ASSERT_TRUE(many.ok());
  ASSERT_EQ(many->size(), 3u);
  EXPECT_EQ((*many)[0]->document->id, id_of(5));
  EXPECT_FALSE((*many)[1].has_value());
  EXPECT_TRUE((*many)[2]->embedding.empty());
  // Ids and filter together delete both sets.
  EXPECT_EQ(*db->delete_many("a", {id_of(9)}, even), 4u);
  EXPECT_EQ(*db->count("a", std::nullopt), 6u);
  EXPECT_EQ(*db->count("a", even), 0u);
  EXPECT_EQ(db->count("missing", std::nullopt).status().code(), ErrorCode::kNotFound);
}

// A snapshot that does not load at open is skipped, but its bytes are never
// destroyed: checkpoints leave it alone, and one that a collection's new
// snapshot would replace is moved aside first.
TEST(EngineTest, CheckpointsNeverDestroyUnreadableSnapshots) {
  ScopedTempDir dir;
  const std::filesystem::path data = dir.path() / "data";
  {
    auto db = open_engine(dir.data_dir());
    for (const char* name : {"a", "b", "c"}) {
      ASSERT_TRUE(db->create_collection(name, 4, HnswConfig{}).ok());
      ASSERT_TRUE(db->insert(name, doc(1), vec(1)).ok());
    }
    ASSERT_TRUE(db->compact().ok());
  }
  const auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  for (const char* name : {"b.tsr", "c.tsr"}) {  // damage two snapshots
    std::string bytes = read(data / name);
    bytes[bytes.size() / 2] ^= 0x5a;
    std::ofstream(data / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  const std::string damaged_b = read(data / "b.tsr");
  const std::string damaged_c = read(data / "c.tsr");
  {
    auto db = open_engine(dir.data_dir());
    EXPECT_EQ(db->list_collections(), std::vector<std::string>{"a"});
    ASSERT_TRUE(db->insert("a", doc(2), vec(2)).ok());
    ASSERT_TRUE(db->compact().ok());
    EXPECT_EQ(read(data / "b.tsr"), damaged_b);  // not removed as stale
    ASSERT_TRUE(db->create_collection("c", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->compact().ok());
  }
  EXPECT_EQ(read(data / "c.tsr.unreadable-1"), damaged_c);  // moved aside, not overwritten
  auto reopened = open_engine(dir.data_dir());
  EXPECT_EQ(reopened->collection_info("c")->document_count, 0u);
  EXPECT_EQ(reopened->collection_info("a")->document_count, 2u);
  EXPECT_EQ(read(data / "b.tsr"), damaged_b);
}

TEST(EngineTest, InMemoryDatabaseRefusesDataDirectoryOperations) {
  auto db = Engine::create_in_memory(nullptr);
  ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
  EXPECT_FALSE(db->durable());
  EXPECT_EQ(db->compact().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(db->save("a", std::nullopt, nullptr).code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(db->load("a", std::nullopt, nullptr).code(), ErrorCode::kInvalidArgument);
  ScopedTempDir dir;
  ASSERT_TRUE(db->insert("a", doc(1), vec(1)).ok());
  ASSERT_TRUE(db->save("a", dir.path().string(), nullptr).ok());
  ASSERT_TRUE(db->load("a", dir.path().string(), nullptr).ok());
  EXPECT_EQ(db->collection_info("a")->document_count, 1u);
}

// Writers on one collection race inserts and deletes of the same ids. The
// log must hold them in the order memory applied them, or the reopened
// database would differ.
TEST(EngineTest, ConcurrentWritersLogInTheOrderOfApplication) {
  ScopedTempDir dir;
  Contents before;
  {
    auto db = open_engine(dir.data_dir());
    ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t) {
      writers.emplace_back([&, t] {
        for (int round = 0; round < 40; ++round) {
          const int i = (round + t) % 6;
          if ((round + t) % 3 == 0) {
            (void)db->delete_document("a", id_of(i));
          } else {
            (void)db->insert("a", doc(i, "by " + std::to_string(t)), vec(i));
          }
        }
      });
    }
    for (std::thread& w : writers) w.join();
    before = contents_of(*db);
  }
  auto reopened = open_engine(dir.data_dir());
  EXPECT_EQ(contents_of(*reopened), before);
}

TEST(EngineTest, AutomaticCheckpointsBoundTheLog) {
  // The same 1,000 inserts with automatic checkpoints and without: the
  // largest the log ever grew, and what a reopen finds.
  struct Run {
    uint64_t largest_log = 0;
    Contents contents;
    bool snapshot_written = false;
  };
  const auto run = [](CheckpointPolicy policy) {
    ScopedTempDir dir;
    const auto wal = dir.path() / "data" / "wal.bin";
    Run out;
    {
      auto db = Engine::open(dir.data_dir(), nullptr, *Env::posix(), policy);
      EXPECT_TRUE(db.ok());
      EXPECT_TRUE((*db)->create_collection("a", 4, HnswConfig{}).ok());
      for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE((*db)->insert("a", Document{id_of(i % 250), "t", {}}, vec(i)).ok());
        if (i % 250 == 249) {
          EXPECT_TRUE((*db)->delete_many("a", {}, Filter{}).ok());
        }
        out.largest_log = std::max<uint64_t>(out.largest_log, std::filesystem::file_size(wal));
      }
      out.contents = contents_of(**db);
    }
    out.snapshot_written = std::filesystem::exists(dir.path() / "data" / "a.tsr");
    auto reopened = open_engine(dir.data_dir());
    EXPECT_EQ(contents_of(*reopened), out.contents);
    return out;
  };
  const Run on = run(CheckpointPolicy{0.25, 4096});
  const Run off = run(CheckpointPolicy{0, 4096});
  EXPECT_TRUE(on.snapshot_written);
  EXPECT_FALSE(off.snapshot_written);
  EXPECT_LT(on.largest_log * 3, off.largest_log) << on.largest_log << " vs " << off.largest_log;
  EXPECT_EQ(on.contents, off.contents);
}

TEST(OpenDatabaseTest, OneDatabasePerDirectoryAndItsKey) {
  ScopedTempDir dir;
  auto key = EncryptionKey::from_hex(std::string(64, 'a'));
  auto other = EncryptionKey::from_hex(std::string(64, 'b'));
  ASSERT_TRUE(key.ok() && other.ok());
  auto first = open_database(dir.data_dir(), *key, *Env::posix());
  ASSERT_TRUE(first.ok()) << first.status().message();
  auto second = open_database(dir.data_dir() + "/./", *key, *Env::posix());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(first->get(), second->get());
  for (const auto& wrong : {std::shared_ptr<const EncryptionKey>(), *other}) {
    auto refused = open_database(dir.data_dir(), wrong, *Env::posix());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.status().code(), ErrorCode::kInvalidArgument);
  }
  // The lock file keeps a second, independent opener out, even in this process.
  auto bypass = Engine::open(dir.data_dir(), *key, *Env::posix());
  ASSERT_FALSE(bypass.ok());
  EXPECT_NE(bypass.status().message().find("in use by another process"), std::string::npos)
      << bypass.status().message();
  // When the last owner lets go the directory closes, and opens again.
  first->reset();
  second->reset();
  auto again = open_database(dir.data_dir(), *key, *Env::posix());
  ASSERT_TRUE(again.ok()) << again.status().message();
}

}  // namespace
}  // namespace tessarine
