// Applying a logged change. Live writes call these after their entry is
// durable in the log; opening a data directory calls apply_entry for every
// entry the log holds. One path for both, so a reopen rebuilds exactly the
// state that the live writes made.
//
// An entry whose change is already there changes nothing: an insert of a
// live id, a delete of an absent id or collection, a create of an existing
// collection. So replaying a log on top of snapshots that already hold some
// of its changes is harmless.
#pragma once

#include <cstdint>
#include <vector>

#include "core/base/status.h"
#include "core/collection/collection.h"
#include "core/collection/document.h"
#include "core/db/database.h"
#include "core/format/wal_entry.h"

namespace tessarine {

// What a document entry did.
struct AppliedChange {
  std::vector<Uuid> inserted;  // ids inserted, in entry order
  uint64_t deleted = 0;        // live documents removed
};

// Applies a CreateCollection or DeleteCollection entry. The caller holds the
// registry's lock exclusively. A create of a taken name fails with
// "Collection '{}' already exists" and changes nothing; a delete reports in
// `existed` whether the collection was there.
Status apply_collection_entry(Database& registry, WalEntry&& entry, bool* existed = nullptr);

// Applies an entry that changes documents of `collection` (insert, batch,
// delete, update, batch write), taking the collection's lock itself. An item that cannot
// be applied (its id is live, its embedding does not fit) is skipped; the
// first such failure is returned after every other item was applied.
Result<AppliedChange> apply_document_entry(LockedCollection& collection, WalEntry&& entry);

// Applies any entry at open: collection entries to the registry, document
// entries to the named collection when it exists. The caller holds the
// registry's lock exclusively. Never fails: skipped entries change nothing.
void apply_entry(Database& registry, WalEntry&& entry);

// The collection a document entry changes; nullptr for collection entries.
const std::string* entry_collection(const WalEntry& entry);

}  // namespace tessarine
