// Documents, metadata values and document ids (UUIDs).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/base/hash_map.h"
#include "core/base/status.h"

namespace tessarine {

// A UUID as its 16 bytes in RFC 9562 order (the order of the hex text).
struct Uuid {
  std::array<uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;
  template <typename H>
  friend H AbslHashValue(H h, const Uuid& u) {
    return H::combine_contiguous(std::move(h), u.bytes.data(), u.bytes.size());
  }
};

// A fresh version-4 UUID from the operating system's entropy source; a
// failing source is fatal.
Uuid generate_uuid_v4();

// Accepts the 32-digit simple form, the hyphenated form, the braced
// hyphenated form and the "urn:uuid:" form, with hex digits of either case.
Result<Uuid> parse_uuid(std::string_view text);

// The 36-character lower-case hyphenated form.
std::string format_uuid(const Uuid& id);

// A typed metadata value. The alternative index is the persisted variant
// index: 0 Bool, 1 Int, 2 Float, 3 String.
using MetadataValue = std::variant<bool, int64_t, double, std::string>;
enum MetadataKind : std::size_t { kBool = 0, kInt = 1, kFloat = 2, kString = 3 };

using Metadata = HashMap<std::string, MetadataValue>;

// Asks the cache for the first entries of `metadata`'s table (at most
// eight), which a walk over many documents' metadata would otherwise wait
// for one document at a time. Only a hint.
void request_metadata_entries(const Metadata& metadata);

// The unit a collection stores. The embedding travels beside it and lives
// only in the collection's vector index.
struct Document {
  Uuid id;
  std::string text;
  Metadata metadata;

  // A document with a freshly generated version-4 id.
  static Document create(std::string text, Metadata metadata);
};

}  // namespace tessarine
