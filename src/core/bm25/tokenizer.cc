#include "core/bm25/tokenizer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "core/bm25/lower_case.h"
#include "core/bm25/stop_words.h"

namespace tessarine {
namespace {

constexpr std::array<bool, 128> kAsciiAlphanumeric = [] {
  std::array<bool, 128> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
  return table;
}();

bool is_alphanumeric_above_ascii(UChar32 c) {
  constexpr uint32_t kNumericCategories = U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK;
  return u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || (U_GET_GC_MASK(c) & kNumericCategories) != 0;
}

// One character starting at `p` above U+007F, or an ill-formed sequence
// (which counts as one separator): whether it is alphanumeric, and where the
// next character starts.
bool next_is_alphanumeric_above_ascii(const uint8_t* s, std::size_t n, std::size_t& p) {
  UChar32 c;
  U8_NEXT(s, p, n, c);
  return c >= 0 && is_alphanumeric_above_ascii(c);
}

inline bool next_is_alphanumeric(const uint8_t* s, std::size_t n, std::size_t& p) {
  const uint8_t b = s[p];
  if (b < 0x80) {
    ++p;
    return kAsciiAlphanumeric[b];
  }
  return next_is_alphanumeric_above_ascii(s, n, p);
}

}  // namespace

TokenizedText tokenize(std::string_view text) {
  TokenizedText result;
  result.lowered_ = lower_case(text);
  const std::string& lowered = result.lowered_;
  const auto* s = reinterpret_cast<const uint8_t*>(lowered.data());
  const std::size_t n = lowered.size();

  // Prose has about one term per 6 to 8 bytes; beyond that guess the vector
  // grows as needed, so a text of few long words does not over-reserve.
  result.spans_.reserve(std::min<std::size_t>(n / 8, std::size_t{1} << 16));
  std::size_t p = 0;
  while (p < n) {
    const std::size_t run_start = p;
    if (!next_is_alphanumeric(s, n, p)) continue;  // a separator
    // Extend the run; `run_end` stops before the separator that ends it.
    std::size_t run_end = p;
    while (p < n) {
      // ASCII letters and digits are the common case: take them in a tight loop.
      while (p < n && s[p] < 0x80 && kAsciiAlphanumeric[s[p]]) ++p;
      run_end = p;
      if (p >= n || !next_is_alphanumeric(s, n, p)) break;
      run_end = p;
    }
    const std::string_view candidate(lowered.data() + run_start, run_end - run_start);
    if (candidate.size() >= 2 && !STOP_WORDS.contains(candidate)) {
      result.spans_.push_back({run_start, run_end});
    }
  }
  return result;
}

}  // namespace tessarine
