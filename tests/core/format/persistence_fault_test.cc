// Snapshot saves under injected faults and power loss: a failed save names
// the operation and the path, leaves the previous snapshot and no temporary
// file, and after a power loss the last acknowledged save loads.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/format/persistence.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectionEnv;
using testing::FileOp;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class PersistenceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "snapshot_fault_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Saves the collection as version `version` (kept in a field that
  // survives the round trip).
  Status save_version(Env& env, const fs::path& dir, uint64_t version) {
    handle_->data.inverted_index.doc_count = version;
    return save_collection(env, handle_, dir, nullptr);
  }

  // The version the snapshot in `dir` holds, read through the real file system.
  static uint64_t loaded_version(const fs::path& dir) {
    auto loaded = load_collection(*Env::posix(), dir / "docs.tsr", nullptr);
    EXPECT_TRUE(loaded.ok()) << loaded.status().message();
    return loaded.ok() ? (*loaded)->data.inverted_index.doc_count : 0;
  }

  fs::path root_;
  CollectionHandle handle_ =
      std::make_shared<LockedCollection>(Collection("docs", 0, HnswConfig{}));
};

TEST_F(PersistenceFaultTest, FailedSaveKeepsThePreviousSnapshotAndNoTemporaryFile) {
  enum Subject { kTemporary, kRename, kDirectory };
  struct Case {
    const char* what;
    std::function<void(FaultInjectionEnv&)> inject;
    std::string error;  // how the message begins, before the path
    Subject subject;
    bool renamed;  // the failure came after the rename: the new file is in place
  };
  const Case cases[] = {
      {"creating the temporary file",
       [](FaultInjectionEnv& env) { env.fail(FileOp::kOpen, 1, ".tsr.tmp"); }, "open", kTemporary,
       false},
      {"writing", [](FaultInjectionEnv& env) { env.fail(FileOp::kWrite, 1, ".tsr.tmp"); }, "write",
       kTemporary, false},
      {"disk full", [](FaultInjectionEnv& env) { env.limit_space(20); }, "write", kTemporary,
       false},
      {"syncing", [](FaultInjectionEnv& env) { env.fail(FileOp::kSync, 1, ".tsr.tmp"); }, "sync",
       kTemporary, false},
      {"renaming", [](FaultInjectionEnv& env) { env.fail(FileOp::kRename, 1, ".tsr.tmp"); },
       "rename", kRename, false},
      {"syncing the directory", [](FaultInjectionEnv& env) { env.fail(FileOp::kSyncDir); },
       "sync directory", kDirectory, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = root_ / c.what;
    const fs::path snapshot = dir / "docs.tsr";
    const fs::path temporary = dir / "docs.tsr.tmp";
    FaultInjectionEnv env;
    ASSERT_TRUE(save_version(env, dir, 1).ok());

    c.inject(env);
    const Status failed = save_version(env, dir, 2);
    EXPECT_EQ(failed.code(), ErrorCode::kIo);
    const std::string subject = c.subject == kTemporary ? temporary.string()
                                : c.subject == kRename
                                    ? temporary.string() + " to " + snapshot.string()
                                    : dir.string();
    EXPECT_TRUE(failed.message().starts_with(c.error + " " + subject + ": ")) << failed.message();
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"docs.tsr"});
    EXPECT_EQ(loaded_version(dir), c.renamed ? 2u : 1u);
    env.clear_faults();

    // A power loss keeps the acknowledged save, not the failed one.
    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"docs.tsr"});
    EXPECT_EQ(loaded_version(dir), 1u);

    ASSERT_TRUE(save_version(env, dir, 3).ok());
    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(loaded_version(dir), 3u);
  }
}

}  // namespace
}  // namespace tessarine
