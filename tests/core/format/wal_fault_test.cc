// The log under injected faults and power loss: a failed append is reported
// with the operation and the path, leaves the log ending at its last good
// record, and after a power loss every acknowledged append reads back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/format/wal.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectionEnv;
using testing::FileOp;

WalEntry marker(const std::string& name) { return DeleteCollectionEntry{name}; }

class WalFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "wal_fault_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path case_dir(const std::string& name) {
    const fs::path dir = root_ / name;
    fs::create_directory(dir);
    return dir;
  }

  static std::unique_ptr<SyncWriteAheadLog> open_log(Env& env, const fs::path& dir) {
    auto log = SyncWriteAheadLog::open(env, dir, nullptr);
    EXPECT_TRUE(log.ok()) << log.status().message();
    return log.ok() ? std::move(log).value() : nullptr;
  }

  // The marker names in the log, as opening the directory would read them
  // (open, recover, read) through the real file system.
  static std::vector<std::string> reopen_and_read(const fs::path& dir) {
    auto log = open_log(*Env::posix(), dir);
    if (log == nullptr) return {"<open failed>"};
    auto recovered = log->recover();
    EXPECT_TRUE(recovered.ok()) << recovered.status().message();
    return read_names(dir);
  }

  static std::vector<std::string> read_names(const fs::path& dir) {
    auto entries = read_wal(*Env::posix(), dir / kWalFileName, nullptr);
    EXPECT_TRUE(entries.ok()) << entries.status().message();
    std::vector<std::string> names;
    if (!entries.ok()) return {"<read failed>"};
    for (const WalEntry& entry : *entries)
      names.push_back(std::get<DeleteCollectionEntry>(entry).name);
    return names;
  }

  fs::path root_;
};

TEST_F(WalFaultTest, FailedAppendIsReportedUndoneAndNeverReplayed) {
  struct Case {
    const char* what;
    std::function<void(FaultInjectionEnv&)> inject;
    std::string error;  // how the failed append's message begins, before the path
    bool undo_fails;    // the partial record cannot be cut: the log refuses appends
  };
  const Case cases[] = {
      {"write fails", [](FaultInjectionEnv& env) { env.fail(FileOp::kWrite, 1, "wal.bin"); },
       "write", false},
      {"sync fails", [](FaultInjectionEnv& env) { env.fail(FileOp::kSync, 1, "wal.bin"); }, "sync",
       false},
      {"disk full part-way through the record", [](FaultInjectionEnv& env) { env.limit_space(10); },
       "write", false},
      {"disk full and the cut fails",
       [](FaultInjectionEnv& env) {
         env.limit_space(10);
         env.fail(FileOp::kTruncate, 1, "wal.bin");
       },
       "write", true},
      {"sync fails and the cut fails",
       [](FaultInjectionEnv& env) {
         env.fail(FileOp::kSync, 1, "wal.bin");
         env.fail(FileOp::kTruncate, 1, "wal.bin");
       },
       "sync", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = case_dir(c.what);
    const fs::path path = dir / kWalFileName;
    FaultInjectionEnv env;
    auto log = open_log(env, dir);
    ASSERT_NE(log, nullptr);
    ASSERT_TRUE(log->append(marker("a")).ok());
    ASSERT_TRUE(log->append(marker("b")).ok());
    const uint64_t good_size = fs::file_size(path);

    c.inject(env);
    const Status failed = log->append(marker("c"));
    EXPECT_EQ(failed.code(), ErrorCode::kIo);
    EXPECT_TRUE(failed.message().starts_with(c.error + " " + path.string() + ": "))
        << failed.message();
    env.clear_faults();

    std::vector<std::string> acknowledged = {"a", "b"};
    if (c.undo_fails) {
      // No record may land behind the partial one until the log is emptied.
      const Status refused = log->append(marker("d"));
      EXPECT_EQ(refused.code(), ErrorCode::kIo);
      EXPECT_TRUE(refused.message().starts_with(
          "log unusable after a failed append could not be undone: truncate " + path.string()))
          << refused.message();
    } else {
      EXPECT_EQ(fs::file_size(path), good_size);  // ends at its last good record
      EXPECT_EQ(read_names(dir), acknowledged);
      ASSERT_TRUE(log->append(marker("d")).ok());
      acknowledged.push_back("d");
    }
    log.reset();

    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(reopen_and_read(dir), acknowledged);
  }
}

TEST_F(WalFaultTest, AcknowledgedAppendsSurviveAPowerLossAfterATruncate) {
  const fs::path dir = case_dir("truncate");
  FaultInjectionEnv env;
  auto log = open_log(env, dir);
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(log->append(marker("before")).ok());
  ASSERT_TRUE(log->truncate().ok());
  ASSERT_TRUE(log->append(marker("after")).ok());
  log.reset();
  ASSERT_TRUE(env.drop_unsynced().ok());
  EXPECT_EQ(reopen_and_read(dir), std::vector<std::string>{"after"});
}

// Recovery copies the bytes it cuts to a side file first. When any step of
// that copy fails, recovery fails naming it, and the log keeps every byte.
// Once it succeeds, both the side file and the cut survive a power loss.
TEST_F(WalFaultTest, RecoveryNeverCutsBytesThatAreNotSafelyAside) {
  struct Case {
    const char* what;
    FileOp op;
    const char* path_part;
    std::string error;    // how the message begins, before the path
    bool side_file_kept;  // the copy was complete before the failing step
  };
  const Case cases[] = {
      {"writing the side file", FileOp::kWrite, ".corrupt-", "write", false},
      {"syncing the side file", FileOp::kSync, ".corrupt-", "sync", false},
      {"syncing the directory", FileOp::kSyncDir, "", "sync directory", false},
      {"cutting the log", FileOp::kTruncate, "wal.bin", "truncate", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = case_dir(c.what);
    const fs::path path = dir / kWalFileName;
    const fs::path side = dir / "wal.bin.corrupt-1";
    {
      auto log = open_log(*Env::posix(), dir);
      ASSERT_NE(log, nullptr);
      for (const char* name : {"0", "1", "2"}) ASSERT_TRUE(log->append(marker(name)).ok());
    }
    fs::resize_file(path, fs::file_size(path) - 3);  // a torn last record
    const uint64_t torn_size = fs::file_size(path);

    FaultInjectionEnv env;
    auto log = open_log(env, dir);
    ASSERT_NE(log, nullptr);
    env.fail(c.op, 1, c.path_part);
    auto failed = log->recover();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.status().code(), ErrorCode::kIo);
    const fs::path subject = c.op == FileOp::kSyncDir    ? dir
                             : c.op == FileOp::kTruncate ? path
                                                         : side;
    EXPECT_TRUE(failed.status().message().starts_with(c.error + " " + subject.string() + ": "))
        << failed.status().message();
    EXPECT_EQ(fs::file_size(path), torn_size);
    EXPECT_EQ(fs::exists(side), c.side_file_kept);

    auto recovered = log->recover();
    ASSERT_TRUE(recovered.ok()) << recovered.status().message();
    ASSERT_TRUE(recovered->side_file.has_value());
    const uint64_t moved = recovered->torn_bytes_moved;
    EXPECT_GT(moved, 0u);
    ASSERT_TRUE(log->append(marker("3")).ok());
    const fs::path side_file = *recovered->side_file;
    log.reset();

    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(fs::file_size(side_file), moved);
    EXPECT_EQ(reopen_and_read(dir), (std::vector<std::string>{"0", "1", "3"}));
  }
}

}  // namespace
}  // namespace tessarine
