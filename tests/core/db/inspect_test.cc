#include "core/db/inspect.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/db/engine.h"
#include "db_test_util.h"
#include "io/fault_injection_env.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectionEnv;
using testing::FileOp;
using testing::ScopedTempDir;

constexpr char kHexKey[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr char kOtherHexKey[] = "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

std::shared_ptr<const EncryptionKey> key_from(const char* hex) {
  auto key = EncryptionKey::from_hex(hex);
  EXPECT_TRUE(key.ok());
  return key.ok() ? *key : nullptr;
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// Every file of a directory with its bytes: an inspection must leave this as it was.
std::map<std::string, std::vector<uint8_t>> files_in(const fs::path& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    files[entry.path().filename().string()] = read_bytes(entry.path());
  }
  return files;
}

// Where each record of a log starts.
std::vector<uint64_t> record_offsets(const std::vector<uint8_t>& log) {
  std::vector<uint64_t> offsets;
  for (uint64_t at = 0; at + kWalHeaderSize <= log.size();) {
    offsets.push_back(at);
    const uint64_t length = (uint64_t{log[at]} << 24) | (uint64_t{log[at + 1]} << 16) |
                            (uint64_t{log[at + 2]} << 8) | log[at + 3];
    at += kWalHeaderSize + length;
  }
  return offsets;
}

std::vector<float> vec(int i) { return {static_cast<float>(i % 5), 1.0f, 0.5f, -1.0f}; }

Document doc(int i) {
  Uuid id{};
  id.bytes[15] = static_cast<uint8_t>(i);
  id.bytes[6] = 0x40;
  id.bytes[8] = 0x80;
  return Document{id, "doc " + std::to_string(i), {}};
}

// A data directory with two snapshots and changes since then in its log:
// a.tsr holds "a" (5 documents, raw vectors), b.tsr holds "b" (2, dot
// product); the log adds 2 documents to "a", deletes 1 of "b" and creates "c"
// with 1 document (5 entries).
void build_directory(const std::string& dir, std::shared_ptr<const EncryptionKey> key) {
  auto opened = Engine::open(dir, std::move(key), *Env::posix());
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  Engine& db = **opened;
  HnswConfig raw;
  raw.store_raw_vectors = true;
  HnswConfig dot;
  dot.distance_metric = DistanceMetric::DotProduct;
  ASSERT_TRUE(db.create_collection("a", 4, raw).ok());
  ASSERT_TRUE(db.create_collection("b", 4, dot).ok());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(db.insert("a", doc(i), vec(i)).ok());
  for (int i = 10; i < 12; ++i) ASSERT_TRUE(db.insert("b", doc(i), vec(i)).ok());
  ASSERT_TRUE(db.compact().ok());
  for (int i = 5; i < 7; ++i) ASSERT_TRUE(db.insert("a", doc(i), vec(i)).ok());
  ASSERT_TRUE(db.delete_document("b", doc(10).id).ok());
  ASSERT_TRUE(db.create_collection("c", 4, HnswConfig{}).ok());
  ASSERT_TRUE(db.insert("c", doc(20), vec(20)).ok());
}

using Counts = std::map<std::string, std::tuple<uint64_t, uint64_t>>;  // dimension, documents

Counts counts_of(const std::vector<CollectionReport>& collections) {
  Counts counts;
  for (const auto& c : collections) counts[c.name] = {c.dimension, c.document_count};
  return counts;
}

// What opening the directory really gives (which also runs its recovery).
Counts counts_after_open(const std::string& dir, std::shared_ptr<const EncryptionKey> key) {
  auto opened = Engine::open(dir, std::move(key), *Env::posix());
  EXPECT_TRUE(opened.ok()) << opened.status().message();
  Counts counts;
  if (!opened.ok()) return counts;
  for (const std::string& name : (*opened)->list_collections()) {
    auto info = (*opened)->collection_info(name);
    if (info.ok()) counts[name] = {info->dimension, info->document_count};
  }
  return counts;
}

class InspectTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plain_ = new ScopedTempDir;
    encrypted_ = new ScopedTempDir;
    build_directory(plain_->data_dir(), nullptr);
    build_directory(encrypted_->data_dir(), key_from(kHexKey));
  }
  static void TearDownTestSuite() {
    delete plain_;
    delete encrypted_;
  }

  // A fresh copy of one of the two directories.
  fs::path copy_of(bool encrypted) {
    const fs::path copy = scratch_.path() / ("copy" + std::to_string(copies_++));
    fs::copy((encrypted ? encrypted_ : plain_)->data_dir(), copy);
    return copy;
  }

  static ScopedTempDir* plain_;
  static ScopedTempDir* encrypted_;
  ScopedTempDir scratch_;
  int copies_ = 0;
};

ScopedTempDir* InspectTest::plain_ = nullptr;
ScopedTempDir* InspectTest::encrypted_ = nullptr;

TEST_F(InspectTest, HealthyDirectoryShowsItsFilesAndTheCollectionsAnOpenHolds) {
  const fs::path dir = copy_of(false);
  // Log bytes an earlier open moved aside are listed, not counted as problems.
  write_bytes(dir / "wal.bin.corrupt-10", {1, 2, 3});
  write_bytes(dir / "wal.bin.corrupt-2", {4});
  const auto before = files_in(dir);

  auto report = inspect_data_directory(*Env::posix(), dir, nullptr);
  ASSERT_TRUE(report.ok()) << report.status().message();
  EXPECT_TRUE(report->problems.empty()) << report->problems[0];

  ASSERT_EQ(report->snapshots.size(), 2u);
  const SnapshotReport& a = report->snapshots[0];
  EXPECT_EQ(a.file_name, "a.tsr");
  EXPECT_EQ(a.size, fs::file_size(dir / "a.tsr"));
  EXPECT_EQ(a.framing, SnapshotFraming::kPlain);
  EXPECT_EQ(a.error, "");
  ASSERT_TRUE(a.collection.has_value());
  EXPECT_EQ(a.collection->name, "a");
  EXPECT_EQ(a.collection->document_count, 5u);
  EXPECT_TRUE(a.collection->config.store_raw_vectors);
  const SnapshotReport& b = report->snapshots[1];
  ASSERT_TRUE(b.collection.has_value());
  EXPECT_EQ(b.collection->document_count, 2u);
  EXPECT_EQ(b.collection->config.distance_metric, DistanceMetric::DotProduct);
  EXPECT_FALSE(b.collection->config.store_raw_vectors);

  EXPECT_TRUE(report->log.present);
  EXPECT_EQ(report->log.size, fs::file_size(dir / kWalFileName));
  EXPECT_EQ(report->log.entries, 5u);
  EXPECT_EQ(report->log.stop, WalStop::kEnd);
  EXPECT_EQ(report->log.stop_offset, report->log.size);

  ASSERT_EQ(report->side_files.size(), 2u);
  EXPECT_EQ(report->side_files[0].file_name, "wal.bin.corrupt-2");
  EXPECT_EQ(report->side_files[1].file_name, "wal.bin.corrupt-10");
  EXPECT_EQ(report->side_files[1].size, 3u);

  EXPECT_EQ(counts_of(report->collections), (Counts{{"a", {4, 7}}, {"b", {4, 1}}, {"c", {4, 1}}}));
  EXPECT_EQ(files_in(dir), before);
  EXPECT_EQ(counts_of(report->collections), counts_after_open(dir.string(), nullptr));
}

// Each kind of damage is named, nothing on disk changes, and the collections
// reported are the ones a real open then holds.
TEST_F(InspectTest, DamageIsNamedAndLeftAsItWas) {
  struct Case {
    const char* what;
    bool encrypted;       // a copy of the encrypted directory
    const char* key_hex;  // the key inspected and opened with, or null
    std::function<void(const fs::path&)> damage;
    std::vector<std::string> problems;  // a part of each problem, in order
    Counts collections;
  };
  const Counts all = {{"a", {4, 7}}, {"b", {4, 1}}, {"c", {4, 1}}};
  const auto flip_log_byte = [](const fs::path& dir, std::size_t record, std::size_t at) {
    auto log = read_bytes(dir / kWalFileName);
    log[record_offsets(log)[record] + at] ^= 0x01;
    write_bytes(dir / kWalFileName, log);
  };
  const std::vector<Case> cases = {
      {"a snapshot byte flipped",
       false,
       nullptr,
       [](const fs::path& dir) {
         auto bytes = read_bytes(dir / "a.tsr");
         bytes[bytes.size() / 2] ^= 0x01;
         write_bytes(dir / "a.tsr", bytes);
       },
       {"snapshot a.tsr does not load: Snapshot CRC32 mismatch: expected 0x"},
       // "a" is gone, and so are the log's inserts into it.
       {{"b", {4, 1}}, {"c", {4, 1}}}},
      {"garbage appended to the log",
       false,
       nullptr,
       [](const fs::path& dir) { std::ofstream(dir / kWalFileName, std::ios::app) << "garbage!"; },
       {"log wal.bin stops at a torn record at offset ",
        "(its length field announces 1734439522 bytes, 0 follow): the 8 bytes from there on are "
        "not replayed"},
       all},
      {"the last record cut short",
       false,
       nullptr,
       [](const fs::path& dir) {
         fs::resize_file(dir / kWalFileName, fs::file_size(dir / kWalFileName) - 3);
       },
       {"log wal.bin stops at a torn record"},
       {{"a", {4, 7}}, {"b", {4, 1}}, {"c", {4, 0}}}},
      {"a payload byte of the third log record flipped",
       false,
       nullptr,
       [&](const fs::path& dir) { flip_log_byte(dir, 2, kWalHeaderSize + 2); },
       {"log wal.bin stops at a corrupt record at offset ",
        "(its CRC-32 does not match its payload)"},
       {{"a", {4, 7}}, {"b", {4, 2}}}},
      {"a record that does not decode",
       false,
       nullptr,
       [](const fs::path& dir) {
         const std::vector<uint8_t> record = {0, 0, 0, 1, 0, 0, 0, 0, 9};
         auto bytes = read_bytes(dir / kWalFileName);
         const uint32_t crc = static_cast<uint32_t>(crc32_z(0, record.data() + 8, 1));
         std::vector<uint8_t> framed = record;
         for (int i = 0; i < 4; ++i) framed[4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
         bytes.insert(bytes.begin(), framed.begin(), framed.end());
         write_bytes(dir / kWalFileName, bytes);
       },
       {"log wal.bin: the record at offset 0 passes its check but does not decode, so it is not "
        "replayed: "},
       all},
      {"two snapshots of one collection",
       false,
       nullptr,
       [](const fs::path& dir) { fs::copy_file(dir / "b.tsr", dir / "b-copy.tsr"); },
       {"collection 'b' is in 2 snapshot files (b-copy.tsr, b.tsr): an open keeps only one"},
       all},
      {"encrypted, inspected without a key",
       true,
       nullptr,
       [](const fs::path&) {},
       {"snapshot a.tsr does not load: snapshot ",
        "is encrypted but no encryption key was provided",
        "snapshot b.tsr does not load: snapshot ",
        "log wal.bin stops at an encrypted record at offset 0, and no key was given"},
       {}},
      {"encrypted, inspected with another key",
       true,
       kOtherHexKey,
       [](const fs::path&) {},
       {"snapshot a.tsr does not load: decryption failed: wrong key or corrupted data",
        "snapshot b.tsr does not load: decryption failed",
        "log wal.bin stops at an encrypted record at offset 0 that does not open under the key "
        "given"},
       {}},
      {"encrypted, a sealed log record flipped",
       true,
       kHexKey,
       [&](const fs::path& dir) { flip_log_byte(dir, 4, kWalHeaderSize + kNonceSize + 1); },
       {"log wal.bin stops at an encrypted record at offset "},
       {{"a", {4, 7}}, {"b", {4, 1}}, {"c", {4, 0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = copy_of(c.encrypted);
    c.damage(dir);
    const auto before = files_in(dir);
    auto key = c.key_hex != nullptr ? key_from(c.key_hex) : nullptr;

    auto report = inspect_data_directory(*Env::posix(), dir, key.get());
    ASSERT_TRUE(report.ok()) << report.status().message();
    std::string all_problems;
    for (const std::string& problem : report->problems) all_problems += problem + "\n";
    std::size_t from = 0;
    for (const std::string& part : c.problems) {
      const std::size_t found = all_problems.find(part, from);
      EXPECT_NE(found, std::string::npos) << "missing: " << part << "\nin:\n" << all_problems;
      if (found != std::string::npos) from = found + part.size();
    }
    EXPECT_EQ(counts_of(report->collections), c.collections);
    EXPECT_EQ(files_in(dir), before);
    // Opened without its key or with another, the directory is refused.
    const bool foreign_key =
        c.encrypted && (c.key_hex == nullptr || std::string_view(c.key_hex) != kHexKey);
    if (foreign_key) {
      EXPECT_FALSE(Engine::open(dir.string(), key, *Env::posix()).ok());
      EXPECT_EQ(files_in(dir), before);
    } else {
      EXPECT_EQ(counts_of(report->collections), counts_after_open(dir.string(), key));
    }
  }
}

TEST_F(InspectTest, AnUnreadableLogIsAProblemAndTheSnapshotsAreStillShown) {
  const fs::path dir = copy_of(false);
  FaultInjectionEnv env;
  env.fail(FileOp::kRead, FaultInjectionEnv::kAlways, "wal.bin");
  auto report = inspect_data_directory(env, dir, nullptr);
  ASSERT_TRUE(report.ok()) << report.status().message();
  ASSERT_EQ(report->problems.size(), 1u);
  EXPECT_EQ(report->problems[0], "log wal.bin cannot be read: read " +
                                     (dir / kWalFileName).string() +
                                     ": Input/output error (os error 5)");
  EXPECT_EQ(report->snapshots.size(), 2u);
  EXPECT_EQ(counts_of(report->collections), (Counts{{"a", {4, 5}}, {"b", {4, 2}}}));
}

TEST_F(InspectTest, MissingDirectoryOrLogAndUnframedSnapshots) {
  auto missing = inspect_data_directory(*Env::posix(), scratch_.path() / "missing", nullptr);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ErrorCode::kIo);

  // A directory of snapshots without a log is fine: the next open creates it.
  const fs::path dir = copy_of(false);
  fs::remove(dir / kWalFileName);
  auto bytes = read_bytes(dir / "a.tsr");
  bytes.resize(bytes.size() - 8);  // without its trailer: an unframed snapshot, still loaded
  write_bytes(dir / "a.tsr", bytes);
  auto report = inspect_data_directory(*Env::posix(), dir, nullptr);
  ASSERT_TRUE(report.ok());
  EXPECT_TRUE(report->problems.empty());
  EXPECT_FALSE(report->log.present);
  EXPECT_EQ(report->snapshots[0].framing, SnapshotFraming::kUnframed);
  EXPECT_EQ(counts_of(report->collections), (Counts{{"a", {4, 5}}, {"b", {4, 2}}}));
  EXPECT_FALSE(fs::exists(dir / kWalFileName));
}

}  // namespace
}  // namespace tessarine
