#include "core/bm25/stop_words.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "core/base/hash_map.h"

namespace tessarine {
namespace {

constexpr std::size_t kLongestStopWord =
    std::max_element(kStopWordList.begin(), kStopWordList.end(),
                     [](std::string_view a, std::string_view b) { return a.size() < b.size(); })
        ->size();
static_assert(kLongestStopWord < 8);

// For every (first letter, last letter) pair, a bit per length of the stop
// words with those letters. Almost every term that is not a stop word fails
// this test, which saves hashing it; the set has the last word.
constexpr std::array<std::array<uint8_t, 26>, 26> kLengthsByFirstAndLast = [] {
  std::array<std::array<uint8_t, 26>, 26> table{};
  for (std::string_view word : kStopWordList) {
    table[word.front() - 'a'][word.back() - 'a'] |= static_cast<uint8_t>(1u << word.size());
  }
  return table;
}();

bool may_be_stop_word(std::string_view word) {
  if (word.empty() || word.size() > kLongestStopWord) return false;
  const unsigned first = static_cast<unsigned char>(word.front()) - 'a';
  const unsigned last = static_cast<unsigned char>(word.back()) - 'a';
  if (first >= 26 || last >= 26) return false;
  return (kLengthsByFirstAndLast[first][last] >> word.size()) & 1;
}

const HashSet<std::string>& stop_word_set() {
  static const HashSet<std::string> set = [] {
    HashSet<std::string> words;
    words.reserve(kStopWordList.size());  // never grows after this
    for (std::string_view word : kStopWordList) words.emplace(word);
    return words;
  }();
  return set;
}

}  // namespace

bool StopWordTable::contains(std::string_view word) const {
  return may_be_stop_word(word) && stop_word_set().contains(as_key(word));
}

std::size_t StopWordTable::size() const { return stop_word_set().size(); }

}  // namespace tessarine
