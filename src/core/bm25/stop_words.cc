#include "core/bm25/stop_words.h"

#include <algorithm>
#include <string>

#include "core/hash_map.h"

namespace tessarine {
namespace {

constexpr std::size_t kLongestStopWord =
    std::max_element(kStopWordList.begin(), kStopWordList.end(),
                     [](std::string_view a, std::string_view b) { return a.size() < b.size(); })
        ->size();

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
  // Most terms are longer than any stop word; they skip the hash.
  if (word.size() > kLongestStopWord) return false;
  return stop_word_set().contains(as_key(word));
}

std::size_t StopWordTable::size() const { return stop_word_set().size(); }

}  // namespace tessarine
