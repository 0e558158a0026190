// The tokenizer on arbitrary bytes (ill-formed UTF-8 included): every term is
// a slice of the lowered text of at least two bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/fatal.h"
#include "core/bm25/tokenizer.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TokenizedText terms = tokenize(text);
  const std::string_view lowered = terms.lowered();
  for (std::string_view term : terms) {
    if (term.size() < 2) fatal("term shorter than two bytes");
    if (term.data() < lowered.data() ||
        term.data() + term.size() > lowered.data() + lowered.size()) {
      fatal("term outside the lowered text");
    }
  }
  return 0;
}
