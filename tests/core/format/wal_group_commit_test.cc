// Group commit: appends from several threads share writes and syncs, yet each
// acknowledged record is on disk in its thread's order, and a failed write or
// sync fails every append of its group and leaves none of their records.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/format/wal.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectionEnv;
using testing::FileOp;

// A record naming its writer thread and its sequence number in that thread.
WalEntry marker(int thread, int i) {
  std::string name = std::to_string(thread);
  name += '-';
  name += std::to_string(i);
  return DeleteCollectionEntry{std::move(name)};
}

// The markers in the log at `dir`, after a power loss, as the next open reads
// them, by writer thread in file order.
std::map<int, std::vector<int>> markers_after_power_loss(FaultInjectionEnv& env,
                                                         const fs::path& dir) {
  EXPECT_TRUE(env.drop_unsynced().ok());
  auto log = SyncWriteAheadLog::open(*Env::posix(), dir, nullptr);
  EXPECT_TRUE(log.ok());
  if (!log.ok()) return {};
  auto recovered = (*log)->recover();
  EXPECT_TRUE(recovered.ok());
  if (recovered.ok()) {
    EXPECT_FALSE(recovered->side_file) << "the log ended in a partial record";
  }
  auto entries = read_wal(*Env::posix(), dir / kWalFileName, nullptr);
  EXPECT_TRUE(entries.ok());
  std::map<int, std::vector<int>> markers;
  if (!entries.ok()) return markers;
  for (const WalEntry& entry : *entries) {
    const std::string& name = std::get<DeleteCollectionEntry>(entry).name;
    const std::size_t dash = name.find('-');
    markers[std::stoi(name.substr(0, dash))].push_back(std::stoi(name.substr(dash + 1)));
  }
  return markers;
}

class WalGroupCommitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "wal_group_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// Writer threads append while faults hit writes and syncs now and then:
// after a power loss the log holds exactly the acknowledged records, each
// thread's in the order it appended them.
TEST_F(WalGroupCommitTest, ConcurrentAppendsKeepExactlyTheAcknowledgedRecordsInOrder) {
  struct Case {
    const char* name;
    bool faults;
  };
  for (const Case& c : {Case{"clean", false}, Case{"with faults", true}}) {
    SCOPED_TRACE(c.name);
    const fs::path dir = dir_ / (c.faults ? "faults" : "clean");
    fs::create_directory(dir);
    FaultInjectionEnv env;
    auto opened = SyncWriteAheadLog::open(env, dir, nullptr);
    ASSERT_TRUE(opened.ok());
    SyncWriteAheadLog& log = **opened;
    ASSERT_TRUE(log.recover().ok());

    constexpr int kThreads = 4;
    constexpr int kAppendsEach = 150;
    std::atomic<int> running{kThreads};
    std::vector<std::vector<int>> acknowledged(kThreads);
    std::vector<int> failed(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kAppendsEach; ++i) {
          Status status = log.append(marker(t, i));
          if (status.ok()) {
            acknowledged[t].push_back(i);
          } else {
            EXPECT_NE(status.message().find("wal.bin"), std::string::npos) << status.message();
            ++failed[t];
          }
        }
        running.fetch_sub(1);
      });
    }
    if (c.faults) {
      // A failed write and a failed sync in turn; each rollback (truncate and
      // sync) is left to succeed by arming the next fault only after the
      // previous one fired.
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
      EXPECT_GT(env.faults_fired(), 0);
      EXPECT_GT(failures, 0);
    } else {
      EXPECT_EQ(failures, 0);
    }
    opened->reset();
    std::map<int, std::vector<int>> on_disk = markers_after_power_loss(env, dir);
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(on_disk[t], acknowledged[t]) << "thread " << t;
    }
  }
}

// A leader holds the disk while three more appends queue behind it; their
// group's sync then fails. Every append whose record went into the failed
// write reports the error, and none of those records is left in the log.
TEST_F(WalGroupCommitTest, AFailedSyncFailsEveryAppendOfItsGroup) {
  FaultInjectionEnv env;
  std::mutex mutex;
  std::condition_variable changed;
  bool first_sync_held = false;
  bool release = false;
  int syncs = 0;
  env.before_sync([&](const fs::path& path) {
    if (path.filename() != kWalFileName) return;
    std::unique_lock lock(mutex);
    // The second sync, the first group's after the leader's, fails.
    if (++syncs == 2) env.fail(FileOp::kSync, 1, kWalFileName);
    if (syncs != 1) return;
    first_sync_held = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  auto opened = SyncWriteAheadLog::open(env, dir_, nullptr);
  ASSERT_TRUE(opened.ok());
  SyncWriteAheadLog& log = **opened;

  Status leader_status;
  std::thread leader([&] { leader_status = log.append(marker(0, 0)); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return first_sync_held; });
  }
  constexpr int kFollowers = 3;
  std::vector<Status> follower_status(kFollowers);
  std::vector<std::thread> followers;
  for (int t = 1; t <= kFollowers; ++t) {
    followers.emplace_back([&, t] { follower_status[t - 1] = log.append(marker(t, 0)); });
  }
  // Gives the followers time to queue, so that they normally form one group;
  // the checks below hold however they were grouped.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  leader.join();
  for (std::thread& follower : followers) follower.join();

  EXPECT_TRUE(leader_status.ok()) << leader_status.message();
  int failed = 0;
  for (const Status& status : follower_status) {
    if (status.ok()) continue;
    ++failed;
    EXPECT_EQ(status.code(), ErrorCode::kIo);
    EXPECT_NE(status.message().find("sync"), std::string::npos) << status.message();
  }
  EXPECT_GE(failed, 1);
  EXPECT_EQ(env.faults_fired(), 1);

  // The failed group is gone; the log goes on at its end.
  ASSERT_TRUE(log.append(marker(9, 0)).ok());
  opened->reset();
  std::map<int, std::vector<int>> on_disk = markers_after_power_loss(env, dir_);
  EXPECT_EQ(on_disk[0], std::vector<int>{0});
  EXPECT_EQ(on_disk[9], std::vector<int>{0});
  for (int t = 1; t <= kFollowers; ++t) {
    const std::vector<int> expected =
        follower_status[t - 1].ok() ? std::vector<int>{0} : std::vector<int>{};
    EXPECT_EQ(on_disk[t], expected) << "follower " << t;
  }
}

}  // namespace
}  // namespace tessarine
