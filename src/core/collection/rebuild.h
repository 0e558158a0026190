// Rebuilding a collection's indexes from its live documents, which reclaims
// the space of deleted ones and renumbers internal ids densely.
#pragma once

#include <cstdint>

#include "core/base/status.h"
#include "core/collection/collection.h"

namespace tessarine {

// Three phases: a snapshot of the live documents and their vectors under the
// shared lock; building a fresh HNSW index, inverted index and id tables
// (and, when configured, a product-quantization codebook) without any lock;
// the swap under the exclusive lock. Documents inserted meanwhile are carried
// over; documents deleted or replaced meanwhile are tombstoned in the new
// structures, so they never come back. Returns the snapshot's document count.
uint64_t rebuild(LockedCollection& collection);

}  // namespace tessarine
