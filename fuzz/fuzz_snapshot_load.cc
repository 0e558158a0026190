// The snapshot loader exactly as opening a data directory uses it: bytes in a
// file, load_collection with the directory's key, then the loaded collection
// in use.
#include <cstddef>
#include <cstdint>

#include "core/format/persistence.h"
#include "fuzz_support.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const fuzzing::ScratchDirectory scratch;
  static const auto key = fuzzing::fuzz_key();
  const auto file = scratch.path() / "fuzz.tsr";
  fuzzing::write_file(file, {data, size});

  Result<CollectionHandle> loaded = load_collection(*Env::posix(), file, key.get());
  if (loaded.ok()) fuzzing::exercise_collection(**loaded);
  return 0;
}
