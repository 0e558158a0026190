// The collection record decoder and the snapshot checks. Decoding the
// documents beside the rest gives what decoding front to back gives (the same
// error, or the same record), and a decoded record re-encodes
// to a stable size (maps may re-encode in another order).
#include <cstddef>
#include <cstdint>

#include "core/base/fatal.h"
#include "core/format/codec.h"
#include "core/format/snapshot_validation.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Result<Collection> decoded = decode_collection({data, size}, SIZE_MAX);
  Result<Collection> side_by_side = decode_collection({data, size}, 0);
  if (decoded.ok() != side_by_side.ok()) fatal("decoding side by side changed the outcome");
  if (!decoded.ok()) {
    if (decoded.status().message() != side_by_side.status().message()) {
      fatal("decoding side by side reported another error: " + side_by_side.status().message());
    }
    return 0;
  }
  // Map order may differ between two decodings; what lies in order may not.
  if (decoded->documents.size() != side_by_side->documents.size() ||
      decoded->internal_to_uuid != side_by_side->internal_to_uuid ||
      decoded->hnsw.vector_data != side_by_side->hnsw.vector_data ||
      decoded->inverted_index.doc_lengths != side_by_side->inverted_index.doc_lengths ||
      encode_collection(*decoded).size() != encode_collection(*side_by_side).size()) {
    fatal("decoding side by side built another record");
  }
  (void)validate_collection(*decoded);

  const std::vector<uint8_t> encoded = encode_collection(*decoded);
  if (encoded.size() > size) fatal("re-encoding grew the record");
  Result<Collection> again = decode_collection(encoded);
  if (!again.ok()) fatal("a re-encoded collection does not decode: " + again.status().message());
  if (encode_collection(*again).size() != encoded.size()) fatal("re-encoding is not stable");
  return 0;
}
