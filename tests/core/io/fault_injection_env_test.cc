#include "io/fault_injection_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

namespace tessarine::testing {
namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Every file of `dir` with its contents.
std::map<std::string, std::string> files_of(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in),
                                               std::istreambuf_iterator<char>()};
  }
  return files;
}

template <typename T>
Status status_of(const Result<T>& result) {
  return result.ok() ? Status::Ok() : result.status();
}

class FaultInjectionEnvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "fault_env_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A fresh empty directory for one case of a table.
  fs::path case_dir(const std::string& name) {
    const fs::path dir = dir_ / name;
    fs::create_directory(dir);
    return dir;
  }

  fs::path dir_;
};

// Each kind of fault hits the next matching call once, worded like the real
// Env, and leaves calls on other paths alone.
TEST_F(FaultInjectionEnvTest, FaultsFailTheNextMatchingCallOnce) {
  using Call = std::function<Status(Env&, const fs::path&)>;
  const auto on_open_file = [](auto act) -> Call {
    return [act](Env& env, const fs::path& path) -> Status {
      auto file = env.open_writable(path, OpenMode::kAppend, 0600);
      if (!file.ok()) return file.status();
      return act(**file);
    };
  };
  struct Case {
    FileOp op;
    const char* action;
    Call call;
  };
  const Case cases[] = {
      {FileOp::kOpen, "open",
       [](Env& env, const fs::path& p) {
         return status_of(env.open_writable(p, OpenMode::kAppend, 0600));
       }},
      {FileOp::kWrite, "write",
       on_open_file([](WritableFile& f) { return f.append(bytes_of("abc")); })},
      {FileOp::kSync, "sync", on_open_file([](WritableFile& f) { return f.sync(); })},
      {FileOp::kTruncate, "truncate", on_open_file([](WritableFile& f) { return f.truncate(0); })},
      {FileOp::kRead, "read",
       [](Env& env, const fs::path& p) { return status_of(env.read_file(p)); }},
      {FileOp::kRemove, "remove", [](Env& env, const fs::path& p) { return env.remove(p); }},
      {FileOp::kSyncDir, "sync directory",
       [](Env& env, const fs::path& p) { return env.sync_dir(p); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    const fs::path dir = case_dir(c.action);
    const fs::path target = dir / "target";
    const fs::path other = dir / "other";
    for (const fs::path& path : {target, other}) {
      if (c.op == FileOp::kSyncDir) {
        fs::create_directory(path);
      } else {
        write_text(path, "contents");
      }
    }
    FaultInjectionEnv env;
    env.fail(c.op, 1, "target");
    EXPECT_TRUE(c.call(env, other).ok());
    const Status failed = c.call(env, target);
    EXPECT_EQ(failed.code(), ErrorCode::kIo);
    EXPECT_EQ(failed.message(),
              std::string(c.action) + " " + target.string() + ": Input/output error (os error 5)");
    EXPECT_TRUE(c.call(env, target).ok());  // used up
    EXPECT_EQ(env.faults_fired(), 1);
  }

  // A rename matches on either path and names both.
  FaultInjectionEnv env;
  write_text(dir_ / "from", "x");
  env.fail(FileOp::kRename, 1, "to", ENOSPC);
  const Status renamed = env.rename(dir_ / "from", dir_ / "to");
  EXPECT_EQ(renamed.message(), "rename " + (dir_ / "from").string() + " to " +
                                   (dir_ / "to").string() +
                                   ": No space left on device (os error 28)");
  EXPECT_TRUE(env.rename(dir_ / "from", dir_ / "to").ok());
}

TEST_F(FaultInjectionEnvTest, AlwaysFaultsFireUntilCleared) {
  FaultInjectionEnv env;
  auto file = env.open_writable(dir_ / "f", OpenMode::kAppend, 0600);
  ASSERT_TRUE(file.ok());
  env.fail(FileOp::kSync, FaultInjectionEnv::kAlways);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE((*file)->sync().ok());
  env.clear_faults();
  EXPECT_TRUE((*file)->sync().ok());
  EXPECT_EQ(env.faults_fired(), 3);
}

TEST_F(FaultInjectionEnvTest, FullDiskWritesWhatFitsThenRefuses) {
  FaultInjectionEnv env;
  const fs::path path = dir_ / "f";
  auto file = env.open_writable(path, OpenMode::kAppend, 0600);
  ASSERT_TRUE(file.ok());
  env.limit_space(10);
  ASSERT_TRUE((*file)->append(bytes_of("012345")).ok());
  const Status full = (*file)->append(bytes_of("6789ab"));
  EXPECT_EQ(full.code(), ErrorCode::kIo);
  EXPECT_EQ(full.message(), "write " + path.string() + ": No space left on device (os error 28)");
  EXPECT_EQ(files_of(dir_).at("f"), "0123456789");
  EXPECT_FALSE((*file)->append(bytes_of("c")).ok());
  EXPECT_TRUE((*file)->truncate(6).ok());  // cutting back still works
  env.clear_faults();
  EXPECT_TRUE((*file)->append(bytes_of("!")).ok());
  EXPECT_EQ(files_of(dir_).at("f"), "012345!");
}

// What a power loss leaves after each sequence of calls. Every case starts
// from a directory holding "old" (durable, written before the Env existed).
TEST_F(FaultInjectionEnvTest, DropUnsyncedLeavesOnlyWhatWasSynced) {
  using Steps = std::function<void(Env&, const fs::path&)>;
  const auto write_file = [](Env& env, const fs::path& path, std::string_view text, bool sync) {
    auto file = env.open_writable(path, OpenMode::kAppend, 0600);
    ASSERT_TRUE(file.ok()) << file.status().message();
    ASSERT_TRUE((*file)->append(bytes_of(text)).ok());
    if (sync) {
      ASSERT_TRUE((*file)->sync().ok());
    }
  };
  // A new file whose data and directory entry are both durable.
  const auto durable_file = [&](Env& env, const fs::path& dir, const char* name,
                                std::string_view text) {
    write_file(env, dir / name, text, true);
    ASSERT_TRUE(env.sync_dir(dir).ok());
  };
  struct Case {
    const char* what;
    Steps steps;
    std::map<std::string, std::string> after;
  };
  const Case cases[] = {
      {"nothing done", [](Env&, const fs::path&) {}, {{"old", "old"}}},
      {"unsynced appends are cut",
       [&](Env& env, const fs::path& dir) {
         durable_file(env, dir, "log", "abc");
         write_file(env, dir / "log", "def", false);
         write_file(env, dir / "old", "er", false);
       },
       {{"old", "old"}, {"log", "abc"}}},
      {"a new file without a directory sync vanishes",
       [&](Env& env, const fs::path& dir) { write_file(env, dir / "new", "data", true); },
       {{"old", "old"}}},
      {"a new file with a directory sync stays",
       [&](Env& env, const fs::path& dir) { durable_file(env, dir, "new", "data"); },
       {{"old", "old"}, {"new", "data"}}},
      {"a rename without a directory sync is undone",
       [&](Env& env, const fs::path& dir) {
         durable_file(env, dir, "tmp", "fresh");
         ASSERT_TRUE(env.rename(dir / "tmp", dir / "old").ok());
       },
       {{"old", "old"}, {"tmp", "fresh"}}},
      {"a rename with a directory sync stays",
       [&](Env& env, const fs::path& dir) {
         durable_file(env, dir, "tmp", "fresh");
         ASSERT_TRUE(env.rename(dir / "tmp", dir / "old").ok());
         ASSERT_TRUE(env.sync_dir(dir).ok());
       },
       {{"old", "fresh"}}},
      {"a temporary file never made durable leaves nothing",
       [&](Env& env, const fs::path& dir) {
         write_file(env, dir / "tmp", "fresh", true);
         ASSERT_TRUE(env.rename(dir / "tmp", dir / "old").ok());
       },
       {{"old", "old"}}},
      {"a removal without a directory sync is undone",
       [&](Env& env, const fs::path& dir) { ASSERT_TRUE(env.remove(dir / "old").ok()); },
       {{"old", "old"}}},
      {"a removal with a directory sync stays",
       [&](Env& env, const fs::path& dir) {
         ASSERT_TRUE(env.remove(dir / "old").ok());
         ASSERT_TRUE(env.sync_dir(dir).ok());
       },
       {}},
      {"a truncation is durable at once",
       [&](Env& env, const fs::path& dir) {
         auto file = env.open_writable(dir / "old", OpenMode::kExisting, 0600);
         ASSERT_TRUE(file.ok());
         ASSERT_TRUE((*file)->truncate(1).ok());
       },
       {{"old", "o"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = case_dir(c.what);
    write_text(dir / "old", "old");
    FaultInjectionEnv env;
    c.steps(env, dir);
    ASSERT_TRUE(env.drop_unsynced().ok());
    EXPECT_EQ(files_of(dir), c.after);
  }
}

}  // namespace
}  // namespace tessarine::testing
