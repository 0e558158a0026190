#include "core/db/data_directory.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/format/persistence.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectionEnv;
using testing::FileOp;

class DataDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "data_directory_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void save(const std::string& name) {
    auto handle = std::make_shared<LockedCollection>(Collection(name, 0, HnswConfig{}));
    ASSERT_TRUE(save_collection(*Env::posix(), handle, dir_, nullptr).ok());
  }

  std::vector<std::string> names_in_dir() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

TEST_F(DataDirectoryTest, LoadsEveryReadableSnapshotAndSkipsTheRest) {
  save("a");
  save("b");
  std::ofstream(dir_ / "broken.tsr") << "not a snapshot";
  fs::copy_file(dir_ / "a.tsr", dir_ / "c.tsr.tmp");  // a leftover temporary file
  std::ofstream(dir_ / "wal.bin") << "";

  auto loaded = load_snapshots(*Env::posix(), dir_, nullptr);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  std::vector<std::string> names;
  for (const CollectionHandle& handle : *loaded) names.push_back(handle->data.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));

  auto missing = load_snapshots(*Env::posix(), dir_ / "missing", nullptr);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().message(), "list directory " + (dir_ / "missing").string() +
                                            ": No such file or directory (os error 2)");
}

TEST_F(DataDirectoryTest, StaleSnapshotsAreRemovedDurably) {
  save("keep");
  save("stale");
  std::ofstream(dir_ / "wal.bin") << "";
  const HashSet<std::string> keep = {"keep.tsr"};
  FaultInjectionEnv env;

  env.fail(FileOp::kRemove, 1, "stale.tsr");
  const Status failed = remove_stale_snapshots(env, dir_, keep);
  EXPECT_EQ(failed.code(), ErrorCode::kIo);
  EXPECT_EQ(failed.message(),
            "remove " + (dir_ / "stale.tsr").string() + ": Input/output error (os error 5)");
  EXPECT_EQ(names_in_dir(), (std::vector<std::string>{"keep.tsr", "stale.tsr", "wal.bin"}));

  ASSERT_TRUE(remove_stale_snapshots(env, dir_, keep).ok());
  ASSERT_TRUE(env.drop_unsynced().ok());  // the removal was made durable
  EXPECT_EQ(names_in_dir(), (std::vector<std::string>{"keep.tsr", "wal.bin"}));
}

}  // namespace
}  // namespace tessarine
