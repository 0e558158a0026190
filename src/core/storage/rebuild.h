// Rebuilding a collection's indexes from its live documents, which reclaims
// the space of deleted ones and renumbers internal ids densely.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/status.h"
#include "core/storage/collection.h"
#include "core/storage/database.h"

namespace tessarine {

// Three phases: a snapshot of the live documents and their vectors under the
// shared lock; building a fresh HNSW index, inverted index and id tables
// (and, when configured, a product-quantization codebook) without any lock;
// the swap under the exclusive lock. Documents inserted meanwhile are carried
// over; documents deleted or replaced meanwhile are tombstoned in the new
// structures, so they never come back. Returns the snapshot's document count.
uint64_t rebuild(LockedCollection& collection);

// The same for a named collection; "collection '{}' not found" (kNotFound).
Result<uint64_t> rebuild(const Database& database, std::string_view name);

}  // namespace tessarine
