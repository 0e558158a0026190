#include "core/format/checksum.h"

#include <isa-l/crc.h>
#include <zlib.h>

#include "core/base/two_threads.h"

namespace tessarine {
// ISA-L's reflected gzip CRC is zlib's CRC-32, chaining included, computed
// with carry-less multiplies: about eight times zlib's table-driven speed,
// which decides how fast a snapshot is checked and written.
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes) {
  return ::crc32_gzip_refl(crc, bytes.data(), bytes.size());
}

uint32_t crc32_combine(uint32_t first_crc, uint32_t second_crc, std::size_t second_length) {
  return static_cast<uint32_t>(
      ::crc32_combine(first_crc, second_crc, static_cast<z_off_t>(second_length)));
}

uint32_t crc32_of(std::span<const uint8_t> bytes) {
  if (bytes.size() < kParallelChecksumBytes) return crc32_update(0, bytes);
  const std::span<const uint8_t> first = bytes.first(bytes.size() / 2);
  const std::span<const uint8_t> second = bytes.subspan(first.size());
  uint32_t first_crc = 0, second_crc = 0;
  run_side_by_side([&] { second_crc = crc32_update(0, second); },
                   [&] { first_crc = crc32_update(0, first); });
  return crc32_combine(first_crc, second_crc, second.size());
}

}  // namespace tessarine
