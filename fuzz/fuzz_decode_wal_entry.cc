// The log entry decoder. A decoded entry re-encodes and decodes again to an
// entry of the same encoded size and kind.
#include <cstddef>
#include <cstdint>

#include "core/base/fatal.h"
#include "core/format/codec.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Result<WalEntry> decoded = decode_wal_entry({data, size});
  if (!decoded.ok()) return 0;
  const std::vector<uint8_t> encoded = encode_wal_entry(*decoded);
  Result<WalEntry> again = decode_wal_entry(encoded);
  if (!again.ok()) fatal("a re-encoded log entry does not decode: " + again.status().message());
  if (again->index() != decoded->index()) fatal("re-encoding changed the entry kind");
  if (encode_wal_entry(*again).size() != encoded.size()) fatal("re-encoding is not stable");
  return 0;
}
