// The collection record decoder and the snapshot checks. A decoded record
// re-encodes to a stable size (maps may re-encode in another order).
#include <cstddef>
#include <cstdint>

#include "core/base/fatal.h"
#include "core/format/codec.h"
#include "core/format/snapshot_validation.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Result<Collection> decoded = decode_collection({data, size});
  if (!decoded.ok()) return 0;
  (void)validate_collection(*decoded);

  const std::vector<uint8_t> encoded = encode_collection(*decoded);
  if (encoded.size() > size) fatal("re-encoding grew the record");
  Result<Collection> again = decode_collection(encoded);
  if (!again.ok()) fatal("a re-encoded collection does not decode: " + again.status().message());
  if (encode_collection(*again).size() != encoded.size()) fatal("re-encoding is not stable");
  return 0;
}
