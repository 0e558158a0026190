// The two-thread checksum of long buffers against one pass of zlib's crc32.
#include "core/format/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
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

}  // namespace
}  // namespace tessarine
