// CRC-32 (zlib's, the checksum of snapshot frames and log records).
#pragma once

#include <cstdint>
#include <span>

namespace tessarine {

// The CRC-32 of `bytes`. A long buffer (a snapshot of many megabytes) is
// checked in two halves on two threads and the halves' checksums combined,
// which gives the same value as one pass.
uint32_t crc32_of(std::span<const uint8_t> bytes);

// The CRC-32 of the bytes whose CRC-32 is `crc` followed by `bytes`, for a
// checksum taken piece by piece (crc32_update(0, {}) is the empty input's).
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes);

// The CRC-32 of two pieces one after the other, from their own CRC-32s and
// the second's length.
uint32_t crc32_combine(uint32_t first_crc, uint32_t second_crc, std::size_t second_length);

// Below this many bytes one pass on the calling thread is quicker than
// starting a thread.
inline constexpr std::size_t kParallelChecksumBytes = std::size_t{4} << 20;

}  // namespace tessarine
