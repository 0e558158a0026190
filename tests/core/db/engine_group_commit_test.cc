// Writer threads on one durable database, whose log commits them in groups:
// memory holds exactly the acknowledged writes, and after a power loss the
// reopened directory holds the same documents in the same order, also for a
// collection two threads write to at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/db/engine.h"
#include "db_test_util.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

using testing::Contents;
using testing::contents_of;
using testing::FaultInjectionEnv;
using testing::FileOp;
using testing::ScopedTempDir;

constexpr uint64_t kDimension = 4;

Uuid id_of(int n) {
  Uuid id{};
  id.bytes[13] = static_cast<uint8_t>(n >> 16);
  id.bytes[14] = static_cast<uint8_t>(n >> 8);
  id.bytes[15] = static_cast<uint8_t>(n);
  id.bytes[6] = 0x40;
  id.bytes[8] = 0x80;
  return id;
}

std::vector<float> vec(int n) {
  return {static_cast<float>(n % 7), 1.0f, static_cast<float>(n % 3), -1.0f};
}

// The live ids of each collection, in the order the documents went in.
std::map<std::string, std::vector<std::string>> live_ids(const Engine& engine) {
  std::map<std::string, std::vector<std::string>> out;
  for (const std::string& name : engine.list_collections()) {
    auto documents = engine.documents(name);
    EXPECT_TRUE(documents.ok());
    if (!documents.ok()) continue;
    for (const auto& document : *documents) out[name].push_back(format_uuid(document->id));
  }
  return out;
}

TEST(EngineGroupCommitTest, ConcurrentWritersKeepExactlyTheAcknowledgedWritesInOrder) {
  struct Case {
    const char* name;
    bool faults;
  };
  for (const Case& c : {Case{"clean", false}, Case{"with faults", true}}) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    FaultInjectionEnv env;
    // Small checkpoints, so that log truncations queue among the appends.
    auto opened = Engine::open(dir.data_dir(), nullptr, env, CheckpointPolicy{0.1, 16 << 10});
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    Engine& engine = **opened;
    // Threads 0 and 1 share collection "shared"; 2 and 3 have one each.
    const std::vector<std::string> collection_of = {"shared", "shared", "two", "three"};
    for (const char* name : {"shared", "two", "three"}) {
      ASSERT_TRUE(engine.create_collection(name, kDimension, HnswConfig{}).ok());
    }

    constexpr int kThreads = 4;
    constexpr int kWritesEach = 120;
    std::atomic<int> running{kThreads};
    // The ids each thread's acknowledged writes leave live.
    std::vector<std::set<std::string>> expected(kThreads);
    std::vector<int> failed(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string& collection = collection_of[t];
        for (int i = 0; i < kWritesEach; ++i) {
          const int n = t * 1000 + i;
          // Every fifth write deletes the thread's document from two writes
          // back, so replaying in another order would leave different documents.
          const bool deletes = i % 5 == 4;
          const int target = deletes ? n - 2 : n;
          Status status =
              deletes ? engine.delete_document(collection, id_of(target)).status()
                      : engine
                            .insert(collection, Document{id_of(n), "doc " + std::to_string(n), {}},
                                    vec(n))
                            .status();
          if (status.ok()) {
            if (deletes) {
              expected[t].erase(format_uuid(id_of(target)));
            } else {
              expected[t].insert(format_uuid(id_of(n)));
            }
          } else {
            EXPECT_EQ(status.message().rfind("WAL write failed: ", 0), 0u) << status.message();
            ++failed[t];
          }
        }
        running.fetch_sub(1);
      });
    }
    if (c.faults) {
      int armed = 0;
      while (running.load() > 0) {
        if (env.faults_fired() == armed) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
          env.fail(armed % 2 == 0 ? FileOp::kSync : FileOp::kWrite, 1, "wal.bin");
          ++armed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      env.clear_faults();
    }
    for (std::thread& thread : threads) thread.join();

    int failures = 0;
    for (int count : failed) failures += count;
    if (c.faults) {
      EXPECT_GT(failures, 0);
    } else {
      EXPECT_EQ(failures, 0);
    }

    // Memory holds exactly what was acknowledged: no failed write applied.
    std::map<std::string, std::set<std::string>> wanted;
    for (int t = 0; t < kThreads; ++t) {
      wanted[collection_of[t]].insert(expected[t].begin(), expected[t].end());
    }
    std::map<std::string, std::vector<std::string>> in_memory = live_ids(engine);
    for (const auto& [name, ids] : wanted) {
      const std::vector<std::string>& live = in_memory[name];
      EXPECT_EQ(std::set<std::string>(live.begin(), live.end()), ids) << name;
    }

    // After a power loss the directory replays to the same documents, in
    // the same order.
    const Contents before = contents_of(engine);
    opened->reset();
    ASSERT_TRUE(env.drop_unsynced().ok());
    auto reopened = Engine::open(dir.data_dir(), nullptr, *Env::posix(), CheckpointPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.status().message();
    EXPECT_EQ(contents_of(**reopened), before);
  }
}

// Inserts into one collection wait for the disk side by side; several
// threads inserting the same ids at once still get each id in exactly once,
// and the others are told it already exists.
TEST(EngineGroupCommitTest, RacingInsertsOfOneIdAcknowledgeExactlyOne) {
  ScopedTempDir dir;
  ASSERT_FALSE(dir.path().empty());
  auto opened = Engine::open(dir.data_dir(), nullptr, *Env::posix(), CheckpointPolicy{});
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  Engine& engine = **opened;
  ASSERT_TRUE(engine.create_collection("shared", kDimension, HnswConfig{}).ok());

  constexpr int kThreads = 4;
  constexpr int kIds = 40;
  std::vector<std::vector<int>> won(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kIds; ++n) {
        // Half of the ids go in alone, half in batches of two.
        Status status;
        if (n % 4 < 2) {
          status = engine.insert("shared", Document{id_of(n), "doc", {}}, vec(n)).status();
        } else if (n % 4 == 2) {
          std::vector<DocumentAndEmbedding> batch;
          batch.emplace_back(Document{id_of(n), "doc", {}}, vec(n));
          batch.emplace_back(Document{id_of(n + 1), "doc", {}}, vec(n + 1));
          status = engine.batch_insert("shared", std::move(batch)).status();
        } else {
          continue;  // went in with n - 1
        }
        if (status.ok()) {
          won[t].push_back(n);
        } else {
          EXPECT_NE(status.message().find("already exists"), std::string::npos) << status.message();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<int> winners(kIds, 0);
  for (const auto& ns : won) {
    for (int n : ns) ++winners[n];
  }
  for (int n = 0; n < kIds; ++n) {
    if (n % 4 != 3) {
      EXPECT_EQ(winners[n], 1) << "id " << n;
    }
  }
  auto documents = engine.documents("shared");
  ASSERT_TRUE(documents.ok());
  EXPECT_EQ(documents->size(), std::size_t{kIds});

  const Contents before = contents_of(engine);
  opened->reset();
  auto reopened = Engine::open(dir.data_dir(), nullptr, *Env::posix(), CheckpointPolicy{});
  ASSERT_TRUE(reopened.ok()) << reopened.status().message();
  EXPECT_EQ(contents_of(**reopened), before);
}

}  // namespace
}  // namespace tessarine
