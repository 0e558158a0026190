// The binary record encoding shared by snapshots and log records: fields
// back to back, little-endian fixed-width integers, u64 length prefixes, no
// tags or padding. Encoding computes the exact size first and allocates once;
// decoding never trusts a length prefix for more than 1 MiB of reservation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/status.h"
#include "core/storage/collection.h"
#include "core/storage/wal_entry.h"

namespace tessarine {

std::vector<uint8_t> encode_collection(const Collection& collection);
// Bytes after the record are ignored. Errors carry kInvalidData.
Result<Collection> decode_collection(std::span<const uint8_t> bytes);

std::vector<uint8_t> encode_wal_entry(const WalEntry& entry);
Result<WalEntry> decode_wal_entry(std::span<const uint8_t> bytes);

}  // namespace tessarine
