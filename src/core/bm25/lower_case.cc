#include "core/bm25/lower_case.h"

#include <unicode/casemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

#include "core/base/fatal.h"

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
// character is at `first_non_ascii`. A piece ends in front of a long enough
// ASCII stretch (which the direct path then lowers), so that text with
// scattered non-ASCII letters costs few ICU calls.
std::size_t find_piece_end(std::string_view text, std::size_t start, std::size_t first_non_ascii,
                           std::size_t soft_limit, std::size_t hard_limit) {
  constexpr std::size_t kAsciiStretchWorthCutting = 64;
  const uint8_t* b = bytes_of(text);
  const std::size_t n = text.size();
  std::size_t p = first_non_ascii;
  UChar32 previous;
  U8_NEXT(b, p, n, previous);
  while (p < n) {
    if (p - start >= hard_limit) return p;
    if (b[p] < 0x80) {
      const std::size_t stretch_end = find_non_ascii(text, p);
      if (stretch_end == n || stretch_end - p >= kAsciiStretchWorthCutting ||
          p - start >= soft_limit) {
        // The first exact cut inside the stretch, if any (not at its very
        // start when a non-ASCII character comes before it).
        for (std::size_t cut = b[p - 1] < 0x80 ? p : p + 1; cut < stretch_end; ++cut) {
          if (is_ascii_cut(text, cut)) return cut;
        }
      }
      if (stretch_end - start >= hard_limit) return p;
      if (stretch_end == n) return n;
      previous = b[stretch_end - 1];
      p = stretch_end;
      continue;
    }
    UChar32 next;
    std::size_t after = p;
    U8_NEXT(b, after, n, next);
    if (p - start >= soft_limit && is_context_stop(previous) && is_context_stop(next)) return p;
    previous = next;
    p = after;
  }
  return n;
}

void append_icu_lower(std::string_view piece, std::string& out) {
  // Pieces are at most the hard limit plus one character, far below 2^31.
  if (piece.size() > static_cast<std::size_t>(INT32_MAX) / 2) {
    fatal("lower_case: piece of " + std::to_string(piece.size()) + " bytes exceeds ICU's limit");
  }
  const std::size_t old_size = out.size();
  // Lower-casing rarely grows UTF-8 text (U+0130 is the worst case, 2 bytes
  // to 3); ICU reports the exact size when this guess is short.
  std::size_t capacity = piece.size() + piece.size() / 2 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(old_size + capacity);
    UErrorCode status = U_ZERO_ERROR;
    // The empty locale is the root locale: the default, language-independent
    // mapping (a null locale would pick up the process's default locale).
    const int32_t length = icu::CaseMap::utf8ToLower(
        "", 0, piece.data(), static_cast<int32_t>(piece.size()), out.data() + old_size,
        static_cast<int32_t>(capacity), nullptr, status);
    if (U_SUCCESS(status)) {
      out.resize(old_size + static_cast<std::size_t>(length));
      return;
    }
    if (status != U_BUFFER_OVERFLOW_ERROR || length <= 0) break;
    capacity = static_cast<std::size_t>(length);
  }
  // Only memory exhaustion makes ICU fail here.
  fatal("lower_case: ICU case mapping failed");
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
    // end of the previous piece), looking back at most half a piece.
    std::size_t start = first_non_ascii;
    while (start > i && first_non_ascii - start < hard_limit / 2 && !is_ascii_cut(text, start)) {
      --start;
    }
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
