#include "core/format/wal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/rwlock.h"
#include "core/format/codec.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

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

void append_bytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint32_t zlib_crc32(const std::vector<uint8_t>& bytes) {
  return static_cast<uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
}

uint32_t be32_at(const std::vector<uint8_t>& bytes, std::size_t offset) {
  return (uint32_t{bytes[offset]} << 24) | (uint32_t{bytes[offset + 1]} << 16) |
         (uint32_t{bytes[offset + 2]} << 8) | bytes[offset + 3];
}

std::vector<uint8_t> plain_record(const std::vector<uint8_t>& payload, uint32_t check) {
  std::vector<uint8_t> record;
  for (uint32_t field : {static_cast<uint32_t>(payload.size()), check}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      record.push_back(static_cast<uint8_t>(field >> shift));
  }
  record.insert(record.end(), payload.begin(), payload.end());
  return record;
}

// The entries used as markers: a DeleteCollection entry carrying a name.
WalEntry marker(const std::string& name) { return DeleteCollectionEntry{name}; }

std::vector<std::string> names_of(const std::vector<WalEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) {
    if (const auto* marker_entry = std::get_if<DeleteCollectionEntry>(&entry)) {
      names.push_back(marker_entry->name);
    } else {
      names.push_back("variant " + std::to_string(entry.index()));
    }
  }
  return names;
}

// Four bytes that, appended to `prefix`, give the whole a chosen CRC-32. The
// CRC of prefix || x is affine in the 32 bits of x over GF(2), so one solve of
// a 32 x 32 linear system finds x.
std::vector<uint8_t> with_crc(std::vector<uint8_t> prefix, uint32_t target) {
  auto crc_with = [&](uint32_t x) {
    auto bytes = prefix;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(x >> (8 * i)));
    return zlib_crc32(bytes);
  };
  const uint32_t base = crc_with(0);
  const uint32_t rhs = target ^ base;
  std::array<uint64_t, 32> rows{};  // bits 0..31 coefficients, bit 32 right-hand side
  for (int r = 0; r < 32; ++r) {
    for (int i = 0; i < 32; ++i) {
      if (((crc_with(uint32_t{1} << i) ^ base) >> r) & 1) rows[r] |= uint64_t{1} << i;
    }
    if ((rhs >> r) & 1) rows[r] |= uint64_t{1} << 32;
  }
  std::array<int, 32> pivot_column{};
  int rank = 0;
  for (int column = 0; column < 32; ++column) {
    int pivot = rank;
    while (pivot < 32 && !((rows[pivot] >> column) & 1)) ++pivot;
    if (pivot == 32) continue;
    std::swap(rows[pivot], rows[rank]);
    for (int r = 0; r < 32; ++r) {
      if (r != rank && ((rows[r] >> column) & 1)) rows[r] ^= rows[rank];
    }
    pivot_column[rank++] = column;
  }
  uint32_t x = 0;
  for (int r = 0; r < rank; ++r) {
    if ((rows[r] >> 32) & 1) x |= uint32_t{1} << pivot_column[r];
  }
  for (int i = 0; i < 4; ++i) prefix.push_back(static_cast<uint8_t>(x >> (8 * i)));
  return prefix;
}

class WalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::path(::testing::TempDir()) / "wal_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    path_ = dir_ / kWalFileName;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<SyncWriteAheadLog> open_log(std::shared_ptr<const EncryptionKey> key = nullptr) {
    auto log = SyncWriteAheadLog::open(*Env::posix(), dir_, std::move(key));
    EXPECT_TRUE(log.ok()) << log.status().message();
    return log.ok() ? std::move(log).value() : nullptr;
  }

  // Opens the log the way a data directory is opened: open, recover, read.
  std::vector<std::string> reopen_and_read(std::shared_ptr<const EncryptionKey> key = nullptr,
                                           WalRecovery* recovery = nullptr) {
    auto log = open_log(key);
    auto recovered = log->recover();
    EXPECT_TRUE(recovered.ok()) << recovered.status().message();
    if (recovery != nullptr && recovered.ok()) *recovery = *recovered;
    return read_names(key.get());
  }

  std::vector<std::string> read_names(const EncryptionKey* key = nullptr) {
    auto entries = read_wal(*Env::posix(), path_, key);
    EXPECT_TRUE(entries.ok()) << entries.status().message();
    return entries.ok() ? names_of(*entries) : std::vector<std::string>{"<error>"};
  }

  // Appends markers "0".."count-1" and returns the offset where each record starts,
  // followed by the file size.
  std::vector<uint64_t> write_markers(int count,
                                      std::shared_ptr<const EncryptionKey> key = nullptr) {
    auto log = open_log(std::move(key));
    std::vector<uint64_t> offsets = {fs::file_size(path_)};
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(log->append(marker(std::to_string(i))).ok());
      offsets.push_back(fs::file_size(path_));
    }
    return offsets;
  }

  fs::path dir_;
  fs::path path_;
};

TEST_F(WalTest, EmptyLogReadsNothingAndRecoveryChangesNothing) {
  WalRecovery recovery;
  EXPECT_TRUE(reopen_and_read(nullptr, &recovery).empty());
  EXPECT_EQ(recovery.torn_bytes_moved, 0u);
  EXPECT_FALSE(recovery.side_file.has_value());
  EXPECT_EQ(fs::file_size(path_), 0u);
}

TEST_F(WalTest, LogFileIsCreatedOwnerOnly) {
  const mode_t old_mask = umask(0);
  auto log = open_log();
  umask(old_mask);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(WalTest, OpenFailsWhenTheDirectoryIsMissing) {
  auto log = SyncWriteAheadLog::open(*Env::posix(), dir_ / "missing", nullptr);
  ASSERT_FALSE(log.ok());
  EXPECT_EQ(log.status().code(), ErrorCode::kIo);
  auto entries = read_wal(*Env::posix(), dir_ / "missing" / kWalFileName, nullptr);
  ASSERT_FALSE(entries.ok());
  EXPECT_EQ(entries.status().code(), ErrorCode::kIo);
}

TEST_F(WalTest, PlainRecordsAreFramedWithBigEndianLengthAndCrc) {
  Document document;
  document.id.bytes[0] = 0xab;
  document.text = "hello";
  document.metadata["year"] = int64_t{2024};
  const WalEntry entries[] = {
      CreateCollectionEntry{"docs", 3, HnswConfig{}},
      InsertDocumentEntry{"docs", document, {1.0f, -2.0f, 0.5f}},
      marker("done"),
  };
  {
    auto log = open_log();
    for (const auto& entry : entries) ASSERT_TRUE(log->append(entry).ok());
  }
  const auto bytes = read_bytes(path_);
  std::size_t offset = 0;
  for (const auto& entry : entries) {
    const auto encoded = encode_wal_entry(entry);
    ASSERT_LE(offset + 8 + encoded.size(), bytes.size());
    EXPECT_EQ(be32_at(bytes, offset), encoded.size());
    EXPECT_EQ(be32_at(bytes, offset + 4), zlib_crc32(encoded));
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), bytes.begin() + offset + 8));
    offset += 8 + encoded.size();
  }
  EXPECT_EQ(offset, bytes.size());

  auto read = read_wal(*Env::posix(), path_, nullptr);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read->size(), 3u);
  const auto& insert = std::get<InsertDocumentEntry>((*read)[1]);
  EXPECT_EQ(insert.document.text, "hello");
  EXPECT_EQ(insert.document.id, document.id);
  EXPECT_EQ(insert.embedding, (std::vector<float>{1.0f, -2.0f, 0.5f}));
  EXPECT_EQ(std::get<CreateCollectionEntry>((*read)[0]).dimension, 3u);
}

TEST_F(WalTest, SealedRecordsCarryAllOnesAndOpenOnlyUnderTheirKey) {
  auto key = key_from(kHexKey);
  write_markers(3, key);
  const auto bytes = read_bytes(path_);
  const auto encoded = encode_wal_entry(marker("0"));
  EXPECT_EQ(be32_at(bytes, 0), encoded.size() + 28);
  EXPECT_EQ(be32_at(bytes, 4), 0xFFFFFFFFu);
  auto opened = key->decrypt(std::span(bytes).subspan(8, encoded.size() + 28));
  ASSERT_TRUE(opened.ok());
  EXPECT_EQ(*opened, encoded);

  EXPECT_EQ(read_names(key.get()), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_TRUE(read_names(nullptr).empty());
  EXPECT_TRUE(read_names(key_from(kOtherHexKey).get()).empty());
  EXPECT_EQ(read_bytes(path_), bytes);  // reading never modifies the file
}

// Opening without the log's key, or with another one, must not move its
// sealed records aside: the next open with the right key replays them. A
// damaged sealed record after one that opened is moved aside as usual.
TEST_F(WalTest, SealedRecordsThatNoKeyOpensAreRefusedNotMovedAside) {
  auto key = key_from(kHexKey);
  write_markers(2);
  const auto sealed_offsets = write_markers(2, key);
  const auto original = read_bytes(path_);

  struct Case {
    const char* what;
    std::shared_ptr<const EncryptionKey> key;
    const char* message;
  };
  for (const Case& c : {Case{"without a key", nullptr, "no encryption key was given"},
                        Case{"another key", key_from(kOtherHexKey), "wrong key or damaged"}}) {
    SCOPED_TRACE(c.what);
    auto log = open_log(c.key);
    auto recovered = log->recover();
    ASSERT_FALSE(recovered.ok());
    EXPECT_EQ(recovered.status().code(), ErrorCode::kInvalidData);
    EXPECT_NE(recovered.status().message().find(c.message), std::string::npos)
        << recovered.status().message();
    EXPECT_EQ(read_bytes(path_), original);
  }
  EXPECT_EQ(reopen_and_read(key), (std::vector<std::string>{"0", "1", "0", "1"}));

  // Damage the second sealed record: the first one opened, so this is damage.
  auto damaged = original;
  damaged[sealed_offsets[1] + 8 + kNonceSize + 1] ^= 0x01;
  write_bytes(path_, damaged);
  WalRecovery recovery;
  EXPECT_EQ(reopen_and_read(key, &recovery), (std::vector<std::string>{"0", "1", "0"}));
  EXPECT_TRUE(recovery.side_file.has_value());
  EXPECT_EQ(recovery.corrupt_bytes_moved, original.size() - sealed_offsets[1]);
}

// Records cut short in different places: every complete record before the cut
// is read, reading leaves the file alone, and reopening moves the torn tail
// to a side file so that a later append is read.
TEST_F(WalTest, TornTailIsReadUpToTheCutAndMovedAsideAtOpen) {
  struct Case {
    const char* what;
    uint64_t keep_of_last;  // bytes of the fifth record left in the file
  };
  for (const Case& c : {Case{"last byte missing", 0}, Case{"five header bytes", 5},
                        Case{"header only", 8}, Case{"half a payload", 12}}) {
    SCOPED_TRACE(c.what);
    fs::remove(path_);
    const auto offsets = write_markers(5);
    const uint64_t keep = c.keep_of_last > 0 ? c.keep_of_last : offsets[5] - offsets[4] - 1;
    fs::resize_file(path_, offsets[4] + keep);
    const auto torn = read_bytes(path_);

    EXPECT_EQ(read_names(), (std::vector<std::string>{"0", "1", "2", "3"}));
    EXPECT_EQ(read_bytes(path_), torn);

    WalRecovery recovery;
    {
      auto log = open_log();
      auto recovered = log->recover();
      ASSERT_TRUE(recovered.ok());
      recovery = *recovered;
      EXPECT_EQ(fs::file_size(path_), offsets[4]);
      ASSERT_TRUE(log->append(marker("after")).ok());
    }
    EXPECT_EQ(recovery.torn_bytes_moved, keep);
    EXPECT_EQ(recovery.corrupt_bytes_moved, 0u);
    ASSERT_TRUE(recovery.side_file.has_value());
    EXPECT_EQ(
        read_bytes(*recovery.side_file),
        std::vector<uint8_t>(torn.begin() + static_cast<std::ptrdiff_t>(offsets[4]), torn.end()));
    EXPECT_EQ(reopen_and_read(), (std::vector<std::string>{"0", "1", "2", "3", "after"}));
    fs::remove(*recovery.side_file);
  }
}

// One flipped bit in the length field of a middle record makes it reach past
// the end of the file, which looks exactly like a torn tail. The acknowledged
// records behind it are not destroyed: the side file holds them intact.
TEST_F(WalTest, LengthFlipInAMiddleRecordKeepsTheLaterRecordsOnTheSide) {
  const auto offsets = write_markers(5);
  auto bytes = read_bytes(path_);
  bytes[offsets[2]] ^= 0x80;  // the length's high byte: now beyond the file
  write_bytes(path_, bytes);

  WalRecovery recovery;
  EXPECT_EQ(reopen_and_read(nullptr, &recovery), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(recovery.torn_bytes_moved, offsets[5] - offsets[2]);
  ASSERT_TRUE(recovery.side_file.has_value());
  EXPECT_EQ(fs::file_size(path_), offsets[2]);
  auto side = read_bytes(*recovery.side_file);
  EXPECT_EQ(side, std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offsets[2]),
                                       bytes.end()));
  // Repairing the bit in the side file gives back every later record.
  side[0] ^= 0x80;
  const fs::path repaired = dir_ / "repaired.bin";
  write_bytes(repaired, side);
  auto entries = read_wal(*Env::posix(), repaired, nullptr);
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(names_of(*entries), (std::vector<std::string>{"2", "3", "4"}));
}

TEST_F(WalTest, CorruptRecordStopsReadingAndIsMovedAsideAtOpen) {
  const auto offsets = write_markers(5);
  auto bytes = read_bytes(path_);
  bytes[offsets[2] + 8 + 3] ^= 0x20;  // a payload byte of the third record
  write_bytes(path_, bytes);

  EXPECT_EQ(read_names(), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(read_bytes(path_), bytes);

  {
    auto log = open_log();
    auto recovery = log->recover();
    ASSERT_TRUE(recovery.ok());
    ASSERT_TRUE(recovery->side_file.has_value());
    EXPECT_EQ(*recovery->side_file, dir_ / "wal.bin.corrupt-1");
    EXPECT_EQ(recovery->corrupt_bytes_moved, offsets[5] - offsets[2]);
    EXPECT_EQ(
        read_bytes(*recovery->side_file),
        std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offsets[2]), bytes.end()));
    EXPECT_EQ(fs::file_size(path_), offsets[2]);
    ASSERT_TRUE(log->append(marker("after")).ok());
  }
  EXPECT_EQ(reopen_and_read(), (std::vector<std::string>{"0", "1", "after"}));

  // A second corruption (this time of a check field) goes to the next free name.
  bytes = read_bytes(path_);
  bytes[offsets[2] + 5] ^= 0x01;
  write_bytes(path_, bytes);
  WalRecovery recovery;
  EXPECT_EQ(reopen_and_read(nullptr, &recovery), (std::vector<std::string>{"0", "1"}));
  ASSERT_TRUE(recovery.side_file.has_value());
  EXPECT_EQ(*recovery.side_file, dir_ / "wal.bin.corrupt-2");
  EXPECT_TRUE(fs::exists(dir_ / "wal.bin.corrupt-1"));
}

TEST_F(WalTest, UndecodableRecordIsSkippedAndKeptAtOpen) {
  write_markers(1);
  const std::vector<uint8_t> variant_nine = {9, 0, 0, 0};
  append_bytes(path_, plain_record(variant_nine, zlib_crc32(variant_nine)));
  {
    auto log = open_log();
    ASSERT_TRUE(log->append(marker("later")).ok());
  }
  const auto before = read_bytes(path_);
  WalRecovery recovery;
  EXPECT_EQ(reopen_and_read(nullptr, &recovery), (std::vector<std::string>{"0", "later"}));
  EXPECT_FALSE(recovery.side_file.has_value());
  EXPECT_EQ(read_bytes(path_), before);
}

// FF FF FF FF marks a sealed record but is also the CRC of some plain
// payloads; such a plain record is still read, with or without a key.
TEST_F(WalTest, PlainRecordWhoseCrcIsAllOnesIsRead) {
  const auto payload = with_crc(encode_wal_entry(marker("all-ones")), 0xFFFFFFFF);
  ASSERT_EQ(zlib_crc32(payload), 0xFFFFFFFFu);
  write_bytes(path_, plain_record(payload, 0xFFFFFFFF));
  {
    auto log = open_log();
    ASSERT_TRUE(log->append(marker("next")).ok());
  }
  const std::vector<std::string> expected = {"all-ones", "next"};
  EXPECT_EQ(read_names(nullptr), expected);
  EXPECT_EQ(read_names(key_from(kHexKey).get()), expected);
  WalRecovery recovery;
  EXPECT_EQ(reopen_and_read(key_from(kHexKey), &recovery), expected);
  EXPECT_FALSE(recovery.side_file.has_value());
}

TEST_F(WalTest, TruncateEmptiesTheLogAndLaterAppendsAreRead) {
  auto key = key_from(kHexKey);
  auto log = open_log(key);
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(log->append(marker(name)).ok());
  ASSERT_TRUE(log->truncate().ok());
  EXPECT_EQ(fs::file_size(path_), 0u);
  ASSERT_TRUE(log->append(marker("d")).ok());
  EXPECT_EQ(read_names(key.get()), (std::vector<std::string>{"d"}));
  log.reset();
  EXPECT_EQ(reopen_and_read(key), (std::vector<std::string>{"d"}));
}

TEST_F(WalTest, TruncateOfADeletedLogFailsAndKeepsTheWriter) {
  auto log = open_log();
  ASSERT_TRUE(log->append(marker("a")).ok());
  fs::remove(path_);
  Status status = log->truncate();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.code(), ErrorCode::kIo);
  EXPECT_TRUE(log->append(marker("b")).ok());
}

TEST_F(WalTest, PayloadsBeyondTheLengthFieldAreRefused) {
  EXPECT_TRUE(check_wal_payload_size(0).ok());
  EXPECT_TRUE(check_wal_payload_size(kWalMaxPayloadSize).ok());
  Status refused = check_wal_payload_size(kWalMaxPayloadSize + 1);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.message(), "log entry too large: 4294967296 bytes (maximum 4294967295)");
  EXPECT_FALSE(check_wal_payload_size(uint64_t{1} << 40).ok());
}

// A write that fails part-way (here: the file size limit) must not leave a
// partial record in front of the records appended after it.
TEST_F(WalTest, FailedAppendIsCutOffAgain) {
  auto log = open_log();
  ASSERT_TRUE(log->append(marker("before")).ok());
  const uint64_t good_size = fs::file_size(path_);

  struct rlimit original;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &original), 0);
  if (original.rlim_cur != RLIM_INFINITY && original.rlim_cur < good_size + 4096) {
    GTEST_SKIP() << "file size limit already in force";
  }
  auto* old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = original;
  limited.rlim_cur = good_size + 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  Status failed = log->append(marker(std::string(100, 'x')));
  setrlimit(RLIMIT_FSIZE, &original);
  signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.code(), ErrorCode::kIo);
  EXPECT_EQ(fs::file_size(path_), good_size);
  ASSERT_TRUE(log->append(marker("after")).ok());
  log.reset();
  EXPECT_EQ(reopen_and_read(), (std::vector<std::string>{"before", "after"}));
}

TEST_F(WalTest, ConcurrentAppendsNeverInterleave) {
  auto log = open_log(key_from(kHexKey));
  constexpr int kThreads = 4;
  constexpr int kPerThread = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        if (!log->append(marker(std::to_string(t) + "-" + std::to_string(i))).ok()) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  auto key = key_from(kHexKey);
  auto names = read_names(key.get());
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
}

// The log's owner holds its checkpoint lock shared around each append and
// exclusively around a checkpoint; an append then waits for the checkpoint.
TEST_F(WalTest, AppendWaitsWhileACheckpointHoldsTheLock) {
  auto log = open_log();
  RwLock checkpoint_lock;
  std::atomic<bool> appended{false};
  std::thread writer;
  {
    std::unique_lock checkpoint(checkpoint_lock);
    writer = std::thread([&] {
      std::shared_lock shared(checkpoint_lock);
      EXPECT_TRUE(log->append(marker("waited")).ok());
      appended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(appended.load());
    EXPECT_EQ(fs::file_size(path_), 0u);
  }
  writer.join();
  EXPECT_TRUE(appended.load());
  EXPECT_EQ(read_names(), (std::vector<std::string>{"waited"}));
}

// scan_wal says where and why reading stops, and draws the line exactly where
// read_wal stops and recover() cuts, counting it as torn or corrupt alike.
TEST_F(WalTest, ScanSaysWhereAndWhyReadingStopsWhereRecoveryCuts) {
  auto key = key_from(kHexKey);
  using Damage = std::function<void(std::vector<uint8_t>&, const std::vector<uint64_t>&)>;
  const Damage none = [](auto&, auto&) {};
  struct Case {
    const char* what;
    std::shared_ptr<const EncryptionKey> write_key, read_key;
    // Damages a log of five records; offsets[i] is where record i starts,
    // offsets[5] the size.
    Damage damage;
    WalStop stop;
    std::size_t stop_record;  // reading stops at offsets[stop_record]
  };
  const Case cases[] = {
      {"whole", nullptr, nullptr, none, WalStop::kEnd, 5},
      {"five header bytes", nullptr, nullptr, [](auto& b, auto& o) { b.resize(o[4] + 5); },
       WalStop::kTornHeader, 4},
      {"last byte missing", nullptr, nullptr, [](auto& b, auto& o) { b.resize(o[5] - 1); },
       WalStop::kTornPayload, 4},
      {"length flip in a middle record", nullptr, nullptr,
       [](auto& b, auto& o) { b[o[2]] ^= 0x80; }, WalStop::kTornPayload, 2},
      {"payload byte flipped", nullptr, nullptr, [](auto& b, auto& o) { b[o[2] + 8 + 3] ^= 0x20; },
       WalStop::kChecksumMismatch, 2},
      {"check field flipped", nullptr, nullptr, [](auto& b, auto& o) { b[o[3] + 5] ^= 0x01; },
       WalStop::kChecksumMismatch, 3},
      {"sealed, read without a key", key, nullptr, none, WalStop::kSealedWithoutKey, 0},
      {"sealed, read with another key", key, key_from(kOtherHexKey), none,
       WalStop::kSealedNotOpened, 0},
      {"sealed, ciphertext byte flipped", key, key,
       [](auto& b, auto& o) { b[o[1] + 8 + kNonceSize + 2] ^= 0x01; }, WalStop::kSealedNotOpened,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
    const auto offsets = write_markers(5, c.write_key);
    auto bytes = read_bytes(path_);
    c.damage(bytes, offsets);
    write_bytes(path_, bytes);

    auto scan = scan_wal(*Env::posix(), path_, c.read_key.get());
    ASSERT_TRUE(scan.ok()) << scan.status().message();
    EXPECT_EQ(scan->stop, c.stop);
    EXPECT_EQ(scan->stop_offset, offsets[c.stop_record]);
    EXPECT_EQ(scan->file_size, bytes.size());
    const bool header_whole = c.stop != WalStop::kEnd && c.stop != WalStop::kTornHeader;
    EXPECT_EQ(scan->stop_length, header_whole ? be32_at(bytes, scan->stop_offset) : 0u);
    EXPECT_EQ(scan->entries.size(), c.stop_record);
    EXPECT_EQ(names_of(scan->entries), read_names(c.read_key.get()));
    EXPECT_TRUE(scan->skipped.empty());
    EXPECT_EQ(read_bytes(path_), bytes);

    auto log = open_log(c.read_key);
    auto recovery = log->recover();
    // A log that no record of opens under the key given is refused, untouched.
    const bool foreign_key = c.stop == WalStop::kSealedWithoutKey ||
                             (c.stop == WalStop::kSealedNotOpened && c.stop_record == 0);
    ASSERT_EQ(recovery.ok(), !foreign_key);
    if (foreign_key) {
      EXPECT_EQ(read_bytes(path_), bytes);
      continue;
    }
    EXPECT_EQ(fs::file_size(path_), scan->stop_offset);
    const uint64_t cut = bytes.size() - scan->stop_offset;
    EXPECT_EQ(recovery->torn_bytes_moved, wal_stop_is_torn(c.stop) ? cut : 0u);
    EXPECT_EQ(recovery->corrupt_bytes_moved, wal_stop_is_torn(c.stop) ? 0u : cut);
  }
}

TEST_F(WalTest, ScanListsTheRecordsThatDoNotDecode) {
  const auto offsets = write_markers(1);
  const std::vector<uint8_t> variant_nine = {9, 0, 0, 0};
  append_bytes(path_, plain_record(variant_nine, zlib_crc32(variant_nine)));
  {
    auto log = open_log();
    ASSERT_TRUE(log->append(marker("later")).ok());
  }
  auto scan = scan_wal(*Env::posix(), path_, nullptr);
  ASSERT_TRUE(scan.ok());
  EXPECT_EQ(names_of(scan->entries), (std::vector<std::string>{"0", "later"}));
  ASSERT_EQ(scan->skipped.size(), 1u);
  EXPECT_EQ(scan->skipped[0].offset, offsets[1]);
  EXPECT_NE(scan->skipped[0].error, "");
  EXPECT_EQ(scan->stop, WalStop::kEnd);
  EXPECT_EQ(scan->stop_offset, fs::file_size(path_));
}

}  // namespace
}  // namespace tessarine
