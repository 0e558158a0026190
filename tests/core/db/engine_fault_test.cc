// The database under injected file-system faults and simulated power loss:
// a failing call reports a clear error and changes nothing, and reopening
// the directory after a crash shows exactly the acknowledged state.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/db/engine.h"
#include "db_test_util.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::Contents;
using testing::contents_of;
using testing::FaultInjectionEnv;
using testing::FileOp;
using testing::ScopedTempDir;

std::vector<float> vec(int i) { return {static_cast<float>(i % 5), 1.0f, 0.5f, -1.0f}; }

Uuid id_of(int i) {
  Uuid id{};
  id.bytes[14] = static_cast<uint8_t>(i >> 8);
  id.bytes[15] = static_cast<uint8_t>(i);
  id.bytes[6] = 0x40;
  id.bytes[8] = 0x80;
  return id;
}

Document doc(int i) { return Document{id_of(i), "doc " + std::to_string(i), {}}; }

std::unique_ptr<Engine> open_with(Env& env, const std::string& dir, CheckpointPolicy policy = {}) {
  auto opened = Engine::open(dir, nullptr, env, policy);
  EXPECT_TRUE(opened.ok()) << opened.status().message();
  return opened.ok() ? std::move(opened).value() : nullptr;
}

Contents reopened_contents(const std::string& dir) {
  auto engine = open_with(*Env::posix(), dir);
  return engine ? contents_of(*engine) : Contents{};
}

bool has_temporary_files(const std::string& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".tmp") return true;
  }
  return false;
}

using Write = std::function<Status(Engine&)>;

struct NamedWrite {
  const char* name;
  Write write;
};

std::vector<NamedWrite> logged_writes() {
  return {
      {"create_collection", [](Engine& db) { return db.create_collection("b", 4, HnswConfig{}); }},
      {"delete_collection", [](Engine& db) { return db.delete_collection("a").status(); }},
      {"insert", [](Engine& db) { return db.insert("a", doc(50), vec(50)).status(); }},
      {"batch_insert",
       [](Engine& db) {
         return db.batch_insert("a", {{doc(60), vec(60)}, {doc(61), vec(61)}}).status();
       }},
      {"delete_document", [](Engine& db) { return db.delete_document("a", id_of(1)).status(); }},
  };
}

struct Fault {
  const char* name;
  std::function<void(FaultInjectionEnv&)> arm;
};

// Every logged write under every log fault: the call fails with "WAL write
// failed", memory is unchanged, the next write succeeds, and after a power
// loss the directory reopens to exactly what was acknowledged.
TEST(EngineFaultTest, FailedLogAppendsChangeNothing) {
  const std::vector<Fault> faults = {
      {"write", [](FaultInjectionEnv& env) { env.fail(FileOp::kWrite, 1, "wal.bin"); }},
      {"sync", [](FaultInjectionEnv& env) { env.fail(FileOp::kSync, 1, "wal.bin"); }},
      {"full disk", [](FaultInjectionEnv& env) { env.limit_space(10); }},
  };
  for (const Fault& fault : faults) {
    for (const NamedWrite& write : logged_writes()) {
      SCOPED_TRACE(std::string(fault.name) + " during " + write.name);
      ScopedTempDir dir;
      FaultInjectionEnv env;
      Contents acknowledged;
      {
        auto db = open_with(env, dir.data_dir());
        ASSERT_NE(db, nullptr);
        ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
        ASSERT_TRUE(db->batch_insert("a", {{doc(1), vec(1)}, {doc(2), vec(2)}}).ok());
        const Contents before = contents_of(*db);
        fault.arm(env);
        Status failed = write.write(*db);
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.code(), ErrorCode::kIo);
        EXPECT_EQ(failed.message().rfind("WAL write failed: ", 0), 0u) << failed.message();
        EXPECT_EQ(contents_of(*db), before);
        env.clear_faults();
        ASSERT_TRUE(db->insert("a", doc(3), vec(3)).ok());  // the log is usable again
        acknowledged = contents_of(*db);
      }
      ASSERT_TRUE(env.drop_unsynced().ok());
      EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
    }
  }
}

// Checkpoints under snapshot and log faults: compact fails with a clear
// error, leaves no temporary file, and nothing acknowledged is lost.
TEST(EngineFaultTest, FailedCheckpointsLoseNothing) {
  const std::vector<std::pair<Fault, const char*>> faults = {
      {{"snapshot write", [](FaultInjectionEnv& env) { env.fail(FileOp::kWrite, 1, ".tmp"); }},
       "save 'a' failed: "},
      {{"snapshot sync", [](FaultInjectionEnv& env) { env.fail(FileOp::kSync, 1, ".tmp"); }},
       "save 'a' failed: "},
      {{"rename", [](FaultInjectionEnv& env) { env.fail(FileOp::kRename, 1, ".tsr"); }},
       "save 'a' failed: "},
      {{"directory sync", [](FaultInjectionEnv& env) { env.fail(FileOp::kSyncDir, 1); }},
       "save 'a' failed: "},
      {{"full disk", [](FaultInjectionEnv& env) { env.limit_space(100); }}, "save 'a' failed: "},
      {{"log truncation",
        [](FaultInjectionEnv& env) { env.fail(FileOp::kTruncate, 1, "wal.bin"); }},
       "WAL truncate failed: "},
  };
  for (const auto& [fault, prefix] : faults) {
    SCOPED_TRACE(fault.name);
    ScopedTempDir dir;
    FaultInjectionEnv env;
    Contents acknowledged;
    {
      auto db = open_with(env, dir.data_dir());
      ASSERT_NE(db, nullptr);
      ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
      for (int i = 0; i < 20; ++i) ASSERT_TRUE(db->insert("a", doc(i), vec(i)).ok());
      ASSERT_TRUE(db->compact().ok());  // an older snapshot to keep
      ASSERT_TRUE(db->delete_document("a", id_of(4)).ok());
      ASSERT_TRUE(db->insert("a", doc(30), vec(30)).ok());
      acknowledged = contents_of(*db);
      fault.arm(env);
      Status failed = db->compact();
      ASSERT_FALSE(failed.ok());
      EXPECT_EQ(failed.message().rfind(prefix, 0), 0u) << failed.message();
      EXPECT_EQ(contents_of(*db), acknowledged);
      EXPECT_FALSE(has_temporary_files(dir.data_dir()));
    }
    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
  }
}

// Opening a directory whose files cannot be read reports which step failed
// and destroys nothing: the directory opens normally afterwards.
TEST(EngineFaultTest, FailedOpensReportTheStepAndKeepTheData) {
  const std::vector<std::pair<Fault, const char*>> faults = {
      {{"listing", [](FaultInjectionEnv& env) { env.fail(FileOp::kRead, 1); }},
       "failed to load snapshots from '"},
      {{"lock file", [](FaultInjectionEnv& env) { env.fail(FileOp::kOpen, 1, "LOCK"); }}, "open "},
      {{"log open", [](FaultInjectionEnv& env) { env.fail(FileOp::kOpen, 1, "wal.bin"); }},
       "failed to open WAL: "},
      {{"log read", [](FaultInjectionEnv& env) { env.fail(FileOp::kRead, 1, "wal.bin"); }},
       "WAL replay failed: "},
  };
  for (const auto& [fault, prefix] : faults) {
    SCOPED_TRACE(fault.name);
    ScopedTempDir dir;
    Contents acknowledged;
    {
      auto db = open_with(*Env::posix(), dir.data_dir());
      ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
      ASSERT_TRUE(db->insert("a", doc(1), vec(1)).ok());
      ASSERT_TRUE(db->compact().ok());
      ASSERT_TRUE(db->insert("a", doc(2), vec(2)).ok());
      acknowledged = contents_of(*db);
    }
    FaultInjectionEnv env;
    fault.arm(env);
    auto failed = Engine::open(dir.data_dir(), nullptr, env);
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.status().message().find(prefix), std::string::npos)
        << failed.status().message();
    EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
  }
}

TEST(EngineFaultTest, FailedRemovalOfAStaleSnapshotKeepsTheLog) {
  ScopedTempDir dir;
  FaultInjectionEnv env;
  Contents acknowledged;
  {
    auto db = open_with(env, dir.data_dir());
    ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->create_collection("b", 4, HnswConfig{}).ok());
    ASSERT_TRUE(db->insert("b", doc(1), vec(1)).ok());
    ASSERT_TRUE(db->compact().ok());
    ASSERT_TRUE(*db->delete_collection("b"));
    acknowledged = contents_of(*db);
    env.fail(FileOp::kRemove, 1, "b.tsr");
    Status failed = db->compact();
    EXPECT_EQ(failed.message().rfind("compact failed: ", 0), 0u) << failed.message();
  }
  ASSERT_TRUE(env.drop_unsynced().ok());
  // The log still holds the delete, so "b" does not come back.
  EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
}

// An automatic checkpoint that fails leaves the write it followed
// acknowledged and the log whole; the next one succeeds.
TEST(EngineFaultTest, FailedAutomaticCheckpointKeepsTheWrite) {
  ScopedTempDir dir;
  FaultInjectionEnv env;
  Contents acknowledged;
  {
    auto db = open_with(env, dir.data_dir(), CheckpointPolicy{0.1, 1024});
    ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
    env.fail(FileOp::kSync, 1, ".tmp");
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(db->insert("a", doc(i), vec(i)).ok());
    EXPECT_EQ(env.faults_fired(), 1);
    EXPECT_TRUE(fs::exists(fs::path(dir.data_dir()) / "a.tsr"));  // a later one went through
    EXPECT_FALSE(has_temporary_files(dir.data_dir()));
    acknowledged = contents_of(*db);
  }
  ASSERT_TRUE(env.drop_unsynced().ok());
  EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
}

// A seeded mixed workload (writes, checkpoints, rebuilds) cut by a power
// loss after random prefixes: every acknowledged change is there afterwards,
// and nothing else.
TEST(EngineFaultTest, PowerLossAfterRandomPrefixesKeepsEveryAcknowledgedWrite) {
  std::mt19937 rng(20261210);
  const auto workload_step = [](Engine& db, std::mt19937& r, int step) -> Status {
    const int id = static_cast<int>(r() % 40);
    const char* collection = r() % 4 == 0 ? "b" : "a";
    switch (r() % 12) {
      case 0:
        return db.create_collection(collection, 4, HnswConfig{});
      case 1:
        return r() % 3 == 0 ? db.delete_collection(collection).status() : Status::Ok();
      case 2:
        return db.compact();
      case 3:
        return db.save("a", std::nullopt, nullptr);
      case 4:
        return db.delete_document(collection, id_of(id)).status();
      case 5:
        return db.rebuild(collection).status();
      case 6:
        return db.batch_insert(collection, {{doc(100 + step), vec(step)}, {doc(id), vec(id)}})
            .status();
      case 7:
        return db.batch_upsert(collection, {{doc(id), vec(step)}, {doc(id + 1), vec(id)}}).status();
      case 8:
        return db.delete_many(collection, {id_of(id), id_of(id + 2), id_of(id + 3)}, std::nullopt)
            .status();
      default:
        return db.insert(collection, doc(id), vec(id)).status();
    }
  };
  for (int trial = 0; trial < 12; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const int steps = 5 + static_cast<int>(rng() % 60);
    std::mt19937 ops(rng());
    ScopedTempDir dir;
    FaultInjectionEnv env;
    Contents acknowledged;
    {
      // Automatic checkpoints every few kilobytes of log, so the crash can
      // fall around them too.
      auto db = open_with(env, dir.data_dir(), CheckpointPolicy{0.5, 2048});
      ASSERT_NE(db, nullptr);
      ASSERT_TRUE(db->create_collection("a", 4, HnswConfig{}).ok());
      for (int step = 0; step < steps; ++step) {
        // Failures here are refusals (unknown collection, live id), never I/O.
        Status s = workload_step(*db, ops, step);
        ASSERT_NE(s.code(), ErrorCode::kIo) << s.message();
      }
      acknowledged = contents_of(*db);
    }
    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(reopened_contents(dir.data_dir()), acknowledged);
  }
}

}  // namespace
}  // namespace tessarine
