// The binary record encoding shared by snapshots and log records: fields
// back to back, little-endian fixed-width integers, u64 length prefixes, no
// tags or padding. Encoding computes the exact size first and allocates once;
// decoding never reserves more for a length prefix than the remaining input
// could hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/format/wal_entry.h"

namespace tessarine {

// Decoding errors carry kInvalidData and one of these texts (numbers in decimal):
//   "io error: unexpected end of file"
//   "string is not valid utf8: invalid utf-8 sequence of {} bytes from index {}"
//   "string is not valid utf8: incomplete utf-8 byte sequence from index {}"
//   "invalid u8 while decoding bool, expected 0 or 1, found {}"
//   "tag for enum is not valid, found {}"                      (optional tag)
//   "invalid value: integer `{}`, expected variant index 0 <= i < {}"
//   "UUID parsing failed: invalid length: expected 16 bytes, found {}"
// Bytes after the record are ignored. Maps are rebuilt fresh; a key that
// occurs twice keeps its later value.

std::vector<uint8_t> encode_collection(const Collection& collection);

// A record with room around it for a frame that its writer fills in (a
// snapshot's magic, nonce, tag or trailer), in one allocation that is not
// zero-filled first, so the file can be written in one piece.
// Releases a FramedRecord's buffer. Large buffers are mapped with
// transparent huge pages where the system offers them: the kernel then
// supplies a file-sized buffer in a few dozen page faults, not thousands.
struct RecordBufferRelease {
  std::size_t mapped = 0;  // bytes mapped, or 0 for a buffer from new[]
  void operator()(uint8_t* p) const;
};

struct FramedRecord {
  std::unique_ptr<uint8_t[], RecordBufferRelease> bytes;
  std::size_t head = 0;  // bytes before the record
  std::size_t size = 0;  // of the record
  std::size_t tail = 0;  // bytes after the record

  std::span<uint8_t> all() const { return {bytes.get(), head + size + tail}; }
  std::span<uint8_t> record() const { return {bytes.get() + head, size}; }
};
// The record of encode_collection with `head` and `tail` spare bytes around it.
FramedRecord encode_collection_framed(const Collection& collection, std::size_t head,
                                      std::size_t tail);
Result<Collection> decode_collection(std::span<const uint8_t> bytes);

std::vector<uint8_t> encode_wal_entry(const WalEntry& entry);
Result<WalEntry> decode_wal_entry(std::span<const uint8_t> bytes);

}  // namespace tessarine
