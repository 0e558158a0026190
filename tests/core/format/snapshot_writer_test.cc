// A snapshot written while it is encoded, in buffers of any size, is the
// whole-record frame: the record, "TCR1" and its CRC-32, or "TCE1", nonce,
// ciphertext and tag that decrypt to the record.
#include "core/format/snapshot_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/format/checksum.h"
#include "core/format/codec.h"
#include "core/format/persistence.h"
#include "snapshot_test_util.h"
#include "temp_dir.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;

class SnapshotWriterTest : public ::testing::Test {
 protected:
  // Streams `collection` into a new file through a writer with the given
  // buffers; returns the file's bytes.
  // With `back_buffers`, the record is streamed on two threads, the back
  // one holding at most that many buffers while it waits for the front.
  std::vector<uint8_t> write(const Collection& collection, const EncryptionKey* key,
                             std::size_t buffer_bytes, std::size_t buffer_count,
                             std::size_t back_buffers = 0) {
    const fs::path path = dir_.path() / "out.tsr";
    auto file = Env::posix()->open_writable(path, OpenMode::kTruncate, 0600);
    EXPECT_TRUE(file.ok());
    SnapshotWriter writer(std::move(*file), key, buffer_bytes, buffer_count,
                          std::max<std::size_t>(back_buffers, 1));
    if (back_buffers == 0) {
      encode_collection_to(collection, writer.front());
    } else {
      EXPECT_NE(writer.back(), nullptr);
      encode_collection_to(collection, writer.front(), writer.back(), 0);
    }
    const Status finished = writer.finish();
    EXPECT_TRUE(finished.ok()) << finished.message();
    auto bytes = Env::posix()->read_file(path);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? *bytes : std::vector<uint8_t>{};
  }

  testing::ScopedTempDir dir_;
};

TEST_F(SnapshotWriterTest, StreamedFramesAreTheWholeRecordsFrames) {
  const Collection collection = testing::sample_collection();
  const std::vector<uint8_t> record = encode_collection(collection);
  auto key = EncryptionKey::from_hex(std::string(64, 'a'));
  ASSERT_TRUE(key.ok());
  struct Buffers {
    std::size_t count;
    std::size_t back;  // 0: one stream
  };
  for (std::size_t buffer_bytes : {8, 61, 4096, 1 << 20}) {
    for (Buffers buffers : {Buffers{2, 0}, Buffers{4, 0}, Buffers{2, 1}, Buffers{4, 16}}) {
      const std::size_t buffer_count = buffers.count;
      SCOPED_TRACE(::testing::Message() << buffer_count << " buffers of " << buffer_bytes << ", "
                                        << buffers.back << " for the back stream");
      std::vector<uint8_t> expected = record;
      expected.insert(expected.end(), kPlainSnapshotMagic.begin(), kPlainSnapshotMagic.end());
      const uint32_t crc = crc32_of(record);
      for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(uint8_t(crc >> shift));
      EXPECT_EQ(write(collection, nullptr, buffer_bytes, buffer_count, buffers.back), expected);

      const std::vector<uint8_t> sealed =
          write(collection, key->get(), buffer_bytes, buffer_count, buffers.back);
      ASSERT_GT(sealed.size(), 4u);
      EXPECT_TRUE(std::equal(kEncryptedSnapshotMagic.begin(), kEncryptedSnapshotMagic.end(),
                             sealed.begin()));
      auto opened = (*key)->decrypt(std::span<const uint8_t>(sealed).subspan(4));
      ASSERT_TRUE(opened.ok()) << opened.status().message();
      EXPECT_EQ(*opened, record);
    }
  }
}

}  // namespace
}  // namespace tessarine
