// The checksum against zlib's crc32: piece by piece, and the two-thread
// checksum of long buffers.
#include "core/format/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string_view>
#include <vector>

namespace tessarine {
namespace {

TEST(ChecksumTest, LongBuffersCheckedInHalvesGiveTheOnePassValue) {
  std::mt19937 rng(3);
  std::vector<uint8_t> bytes(kParallelChecksumBytes * 2 + 7);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, kParallelChecksumBytes - 1,
                           kParallelChecksumBytes, kParallelChecksumBytes + 1, bytes.size()}) {
    const std::span<const uint8_t> part(bytes.data(), size);
    EXPECT_EQ(crc32_of(part), static_cast<uint32_t>(crc32_z(0, part.data(), part.size())))
        << size << " bytes";
  }
}

TEST(ChecksumTest, PiecesChainToZlibsValue) {
  const std::string_view check = "123456789";
  EXPECT_EQ(crc32_update(0, {reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
            0xCBF43926u);
  EXPECT_EQ(crc32_update(0, {}), 0u);
  std::mt19937 rng(5);
  std::vector<uint8_t> bytes(100'003);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  const uint32_t whole = static_cast<uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
  // Pieces of every length around the widths a vectorized checksum folds.
  for (std::size_t piece : {1, 3, 15, 16, 17, 63, 64, 65, 255, 256, 4099}) {
    uint32_t crc = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      crc = crc32_update(crc, std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
    }
    EXPECT_EQ(crc, whole) << "pieces of " << piece;
  }
}

}  // namespace
}  // namespace tessarine
