// UUID parsing: any accepted text names the id that its canonical form names.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/fatal.h"
#include "core/collection/document.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Result<Uuid> parsed = parse_uuid(text);
  if (!parsed.ok()) return 0;
  const std::string canonical = format_uuid(*parsed);
  Result<Uuid> again = parse_uuid(canonical);
  if (!again.ok() || !(*again == *parsed))
    fatal("canonical form does not parse back: " + canonical);
  return 0;
}
