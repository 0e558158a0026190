#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/io/env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string contents_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class EnvPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "env_posix_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Env& env_ = *Env::posix();
  fs::path dir_;
};

TEST_F(EnvPosixTest, FailuresNameTheActionAndThePath) {
  const fs::path missing = dir_ / "missing" / "file";
  const fs::path existing = dir_ / "existing";
  const fs::path link = dir_ / "link";
  write_text(existing, "x");
  fs::create_symlink(existing, link);
  struct Case {
    const char* what;
    std::function<Status()> call;
    std::string message;
  };
  const auto status_of = [](auto result) { return result.ok() ? Status::Ok() : result.status(); };
  const std::string enoent = ": No such file or directory (os error 2)";
  const Case cases[] = {
      {"open in a missing directory",
       [&] { return status_of(env_.open_writable(missing, OpenMode::kAppend, 0600)); },
       "open " + missing.string() + enoent},
      {"exclusive create of an existing file",
       [&] { return status_of(env_.open_writable(existing, OpenMode::kCreateExclusive, 0600)); },
       "open " + existing.string() + ": File exists (os error 17)"},
      {"reopen of a missing file",
       [&] { return status_of(env_.open_writable(dir_ / "gone", OpenMode::kExisting, 0600)); },
       "open " + (dir_ / "gone").string() + enoent},
      {"writing through a symbolic link",
       [&] { return status_of(env_.open_writable(link, OpenMode::kAppend, 0600)); },
       "open " + link.string() + ": Too many levels of symbolic links (os error 40)"},
      {"reading a missing file", [&] { return status_of(env_.read_file(missing)); },
       "open " + missing.string() + enoent},
      {"renaming a missing file", [&] { return env_.rename(missing, existing); },
       "rename " + missing.string() + " to " + existing.string() + enoent},
      {"listing a missing directory", [&] { return status_of(env_.list_dir(dir_ / "none")); },
       "list directory " + (dir_ / "none").string() + enoent},
      {"creating a directory under a file", [&] { return env_.create_dirs(existing / "sub"); },
       // names the file in the way
       "create directory " + existing.string() + ": Not a directory (os error 20)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Status status = c.call();
    EXPECT_EQ(status.code(), ErrorCode::kIo);
    EXPECT_EQ(status.message(), c.message);
  }
  EXPECT_TRUE(env_.remove(missing).ok());  // a missing file is already removed
}

TEST_F(EnvPosixTest, WritableFileAppendsAtTheEndAfterATruncate) {
  const fs::path path = dir_ / "file";
  write_text(path, "old ");
  auto file = env_.open_writable(path, OpenMode::kAppend, 0600);
  ASSERT_TRUE(file.ok()) << file.status().message();
  ASSERT_TRUE((*file)->append(bytes_of("hello world")).ok());
  ASSERT_TRUE((*file)->truncate(9).ok());
  ASSERT_TRUE((*file)->append(bytes_of("!")).ok());
  ASSERT_TRUE((*file)->sync().ok());
  EXPECT_EQ(*(*file)->size(), 10u);
  std::string read(20, '\0');
  auto got = (*file)->read_at(4, {reinterpret_cast<uint8_t*>(read.data()), read.size()});
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(read.substr(0, *got), "hello!");  // short only at the end of the file
  ASSERT_TRUE((*file)->close().ok());
  EXPECT_EQ(contents_of(path), "old hello!");

  auto emptied = env_.open_writable(path, OpenMode::kTruncate, 0600);
  ASSERT_TRUE(emptied.ok());
  EXPECT_EQ(*(*emptied)->size(), 0u);
}

TEST_F(EnvPosixTest, OpenNarrowsTheModeOfAnExistingFile) {
  const fs::path path = dir_ / "wide";
  write_text(path, "x");
  fs::permissions(path, fs::perms(0664));
  ASSERT_TRUE(env_.open_writable(path, OpenMode::kAppend, 0600).ok());
  struct stat info;
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(EnvPosixTest, ReadFileListDirAndCreateDirs) {
  const fs::path nested = dir_ / "a" / "b" / "c";
  ASSERT_TRUE(env_.create_dirs(nested).ok());
  EXPECT_TRUE(env_.create_dirs(nested).ok());  // existing is fine
  std::string big(100'000, 'z');
  big[12'345] = 'y';
  write_text(nested / "big", big);
  write_text(nested / "empty", "");
  auto read = env_.read_file(nested / "big");
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(std::string(read->begin(), read->end()), big);
  EXPECT_TRUE(env_.read_file(nested / "empty")->empty());

  auto names = env_.list_dir(nested);
  ASSERT_TRUE(names.ok());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"big", "empty"}));
  EXPECT_TRUE(env_.exists(nested / "big"));
  EXPECT_FALSE(env_.exists(nested / "none"));
  EXPECT_TRUE(env_.sync_dir(nested).ok());
}

TEST_F(EnvPosixTest, LockFileRefusesASecondHolderNamingThePid) {
  const fs::path path = dir_ / "lock";
  auto held = env_.lock_file(path);
  ASSERT_TRUE(held.ok()) << held.status().message();
  EXPECT_EQ(contents_of(path), std::to_string(::getpid()) + "\n");

  // flock conflicts between two opens even within one process.
  auto busy = env_.lock_file(path);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.status().code(), ErrorCode::kIo);
  EXPECT_EQ(busy.status().message(), "data directory " + dir_.string() +
                                         " is in use by another process (pid " +
                                         std::to_string(::getpid()) + ")");

  write_text(path, "");  // a holder that has not written its pid yet
  busy = env_.lock_file(path);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.status().message(),
            "data directory " + dir_.string() + " is in use by another process");

  held->reset();
  EXPECT_TRUE(env_.lock_file(path).ok());
}

}  // namespace
}  // namespace tessarine
