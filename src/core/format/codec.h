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

namespace tessarine::codec {
class ChunkChannel;
}

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

// The record of encode_collection streamed into channels' buffers (see
// ChunkWriter), with no walk to size it first: all of it into `front`, or,
// when `back` is given and the collection holds at least
// `side_by_side_documents` documents, the documents (and what precedes them)
// into `front` on a second thread while the calling one streams the rest into
// `back`. The record is then front's bytes followed by back's. `front` must
// not depend on `back` making progress: when no thread can be started the
// front is encoded first.
inline constexpr std::size_t kSideBySideEncodeDocuments = 1000;
void encode_collection_to(const Collection& collection, codec::ChunkChannel& front,
                          codec::ChunkChannel* back = nullptr,
                          std::size_t side_by_side_documents = kSideBySideEncodeDocuments);
// A record of at least `side_by_side_bytes` has its documents decoded on a
// second thread while the calling one decodes the rest; the result, and the
// error reported for a bad record, are those of a decoding from front to
// back. (Tests and fuzzers lower the threshold to reach that path.)
inline constexpr std::size_t kSideBySideDecodeBytes = std::size_t{1} << 20;
Result<Collection> decode_collection(std::span<const uint8_t> bytes,
                                     std::size_t side_by_side_bytes = kSideBySideDecodeBytes);

std::vector<uint8_t> encode_wal_entry(const WalEntry& entry);
Result<WalEntry> decode_wal_entry(std::span<const uint8_t> bytes);

}  // namespace tessarine
