// The log as opening a data directory reads it: the bytes become wal.bin,
// then open, recover, read and replay, once without a key and once with the
// fixed key. After recovery a new append must be the last entry read back,
// whatever the file held before.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <variant>

#include "core/base/fatal.h"
#include "core/db/apply.h"
#include "core/db/database.h"
#include "core/format/wal.h"
#include "fuzz_support.h"

using namespace tessarine;

namespace {

void open_recover_replay(const fuzzing::ScratchDirectory& scratch, std::span<const uint8_t> bytes,
                         std::shared_ptr<const EncryptionKey> key) {
  scratch.clear();
  fuzzing::write_file(scratch.path() / kWalFileName, bytes);

  auto log = SyncWriteAheadLog::open(*Env::posix(), scratch.path(), key);
  if (!log.ok()) fatal("open failed: " + log.status().message());
  auto recovered = (*log)->recover();
  if (!recovered.ok()) {
    // Sealed records that no key given opens are refused and left alone.
    if (recovered.status().code() == ErrorCode::kInvalidData) return;
    fatal("recover failed: " + recovered.status().message());
  }
  auto entries = read_wal(*Env::posix(), (*log)->path(), key.get());
  if (!entries.ok()) fatal("read failed: " + entries.status().message());
  Database database;
  {
    std::unique_lock registry(database.lock());
    for (WalEntry& entry : *entries) apply_entry(database, std::move(entry));
  }
  for (const std::string& name : database.list_collections()) {
    if (CollectionHandle handle = database.get_collection(name))
      fuzzing::exercise_collection(*handle);
  }

  const std::size_t before = entries->size();
  if (Status appended = (*log)->append(DeleteCollectionEntry{"appended after recovery"});
      !appended.ok()) {
    fatal("append failed: " + appended.message());
  }
  auto after = read_wal(*Env::posix(), (*log)->path(), key.get());
  if (!after.ok() || after->size() != before + 1)
    fatal("an append after recovery is not read back");
  const auto* last = std::get_if<DeleteCollectionEntry>(&after->back());
  if (last == nullptr || last->name != "appended after recovery") {
    fatal("the last entry read is not the append");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const fuzzing::ScratchDirectory scratch;
  static const auto key = fuzzing::fuzz_key();
  open_recover_replay(scratch, {data, size}, nullptr);
  open_recover_replay(scratch, {data, size}, key);
  return 0;
}
