#include "core/format/checksum.h"

#include <zlib.h>

#include <thread>

namespace tessarine {
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(::crc32_z(crc, bytes.data(), bytes.size()));
}

uint32_t crc32_combine(uint32_t first_crc, uint32_t second_crc, std::size_t second_length) {
  return static_cast<uint32_t>(
      ::crc32_combine(first_crc, second_crc, static_cast<z_off_t>(second_length)));
}

uint32_t crc32_of(std::span<const uint8_t> bytes) {
  if (bytes.size() < kParallelChecksumBytes) return crc32_update(0, bytes);
  const std::span<const uint8_t> first = bytes.first(bytes.size() / 2);
  const std::span<const uint8_t> second = bytes.subspan(first.size());
  uint32_t second_crc = 0;
  std::thread helper;
  try {
    helper = std::thread([&] { second_crc = crc32_update(0, second); });
  } catch (const std::system_error&) {
    return crc32_update(0, bytes);  // no thread to be had: one pass is as right
  }
  const uint32_t first_crc = crc32_update(0, first);
  helper.join();
  return crc32_combine(first_crc, second_crc, second.size());
}

}  // namespace tessarine
