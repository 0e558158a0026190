#include "core/bm25/lower_case.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

#include "core/fatal.h"

namespace tessarine {
namespace lower_case_detail {
namespace {

constexpr UChar32 kCapitalSigma = 0x03A3;

const uint8_t* bytes_of(std::string_view text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// The first position at or after `from` holding a byte >= 0x80, or the end.
std::size_t find_non_ascii(std::string_view text, std::size_t from) {
  const uint8_t* p = bytes_of(text);
  const std::size_t n = text.size();
  std::size_t i = from;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

void append_ascii_lower(std::string_view text, std::string& out) {
  const std::size_t old_size = out.size();
  out.resize(old_size + text.size());
  char* dst = out.data() + old_size;
  const uint8_t* src = bytes_of(text);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const uint8_t c = src[i];
    dst[i] = static_cast<char>(static_cast<uint8_t>(c - 'A') < 26 ? c + ('a' - 'A') : c);
  }
}

// An ASCII character whose lower-case form does not look at its neighbours
// and which stops the final-sigma rule's search for context: anything but
// the case-ignorable ' . : ^ `.
bool is_ascii_context_stop(uint8_t c) {
  return c < 0x80 && c != '\'' && c != '.' && c != ':' && c != '^' && c != '`';
}

// A character that ends the sigma rule's context search on both sides and
// is not itself mapped by context.
bool is_context_stop(UChar32 c) {
  return c >= 0 && c != kCapitalSigma && !u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
}

// A cut at `p` is exact when both neighbouring characters are context stops:
// every context search then ends on the same side of the cut.
bool is_ascii_cut(std::string_view text, std::size_t p) {
  const uint8_t* b = bytes_of(text);
  return is_ascii_context_stop(b[p - 1]) && is_ascii_context_stop(b[p]);
}

// The end of the ICU piece that starts at `start` and whose first non-ASCII
// character is at `first_non_ascii`.
std::size_t find_piece_end(std::string_view text, std::size_t start, std::size_t first_non_ascii,
                           std::size_t soft_limit, std::size_t hard_limit) {
  const uint8_t* b = bytes_of(text);
  const std::size_t n = text.size();
  std::size_t p = first_non_ascii;
  UChar32 previous;
  U8_NEXT(b, p, n, previous);
  while (p < n) {
    const std::size_t length = p - start;
    if (b[p - 1] < 0x80 && b[p] < 0x80 && is_ascii_cut(text, p)) return p;
    if (length >= hard_limit) return p;
    UChar32 next;
    std::size_t after = p;
    U8_NEXT(b, after, n, next);
    if (length >= soft_limit && is_context_stop(previous) && is_context_stop(next)) return p;
    previous = next;
    p = after;
  }
  return n;
}

void append_icu_lower(std::string_view piece, std::string& out) {
  if (piece.size() > static_cast<std::size_t>(INT32_MAX)) {
    fatal("lower_case: piece of " + std::to_string(piece.size()) + " bytes exceeds ICU's limit");
  }
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  // The empty locale is the root locale: the default, language-independent
  // mapping (a null locale would pick up the process's default locale).
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) {
    // Only memory exhaustion makes ICU fail here.
    fatal(std::string("lower_case: ICU case mapping failed: ") + u_errorName(status));
  }
}

}  // namespace

void append_lower_case(std::string_view text, std::size_t soft_limit, std::size_t hard_limit,
                       std::string& out) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t first_non_ascii = find_non_ascii(text, i);
    if (first_non_ascii == n) {
      append_ascii_lower(text.substr(i), out);
      return;
    }
    // Give ICU the context of the non-ASCII character back to the last exact
    // cut (the start of this stretch is one: it is the text's start or the
    // end of the previous piece).
    std::size_t start = first_non_ascii;
    while (start > i && !is_ascii_cut(text, start)) --start;
    append_ascii_lower(text.substr(i, start - i), out);
    const std::size_t end = find_piece_end(text, start, first_non_ascii, soft_limit, hard_limit);
    append_icu_lower(text.substr(start, end - start), out);
    i = end;
  }
}

}  // namespace lower_case_detail

std::string lower_case(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  lower_case_detail::append_lower_case(text, lower_case_detail::kSoftPieceLimit,
                                       lower_case_detail::kHardPieceLimit, out);
  return out;
}

}  // namespace tessarine
