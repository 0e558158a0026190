// The English and Italian stop words that tokenize() drops.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tessarine {

// The stop words in the order the set is filled: 33 English words, then 31
// Italian words.
inline constexpr std::array<std::string_view, 64> kStopWordList = {
    "a",   "an",    "and",   "are",   "as",    "at",    "be",   "but", "by",  "for",  "if",
    "in",  "into",  "is",    "it",    "no",    "not",   "of",   "on",  "or",  "such", "that",
    "the", "their", "then",  "there", "these", "they",  "this", "to",  "was", "will", "with",
    "il",  "lo",    "la",    "le",    "li",    "gli",   "un",   "uno", "una", "di",   "da",
    "del", "dello", "della", "dei",   "degli", "delle", "che",  "per", "non", "si",   "con",
    "su",  "ha",    "sono",  "come",  "ma",    "anche", "se",   "io",  "ci"};

// The process-wide stop-word set. The hash set behind it is built once, on
// the first lookup, under the one-time initialisation of a function-local
// static, so concurrent first callers are safe; afterwards it is read-only.
// Membership is an exact byte comparison (words are already lower-cased).
class StopWordTable {
 public:
  bool contains(std::string_view word) const;
  std::size_t size() const;
};

inline constexpr StopWordTable STOP_WORDS{};

}  // namespace tessarine
