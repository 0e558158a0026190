#include "core/bm25/scorer.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/base/hash_map.h"
#include "core/bm25/tokenizer.h"

namespace tessarine {
namespace {

// Okapi BM25 with k1 = 1.2 and b = 0.75.
constexpr float kK1 = 1.2f;
constexpr float kK1PlusOne = 2.2f;
constexpr float kB = 0.75f;
constexpr float kOneMinusB = 0.25f;

}  // namespace

RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k) {
  const TokenizedText terms = tokenize(query);
  if (terms.empty() || index.doc_count == 0) return {};

  const float n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;

  // The posting lists of the query terms, in query order and with
  // repetitions: a repeated term counts again.
  std::vector<const std::vector<Posting>*> lists;
  lists.reserve(terms.size());
  std::size_t most_entries = 0;
  for (std::string_view term : terms) {
    const auto found = index.postings.find(as_key(term));
    if (found == index.postings.end()) continue;
    lists.push_back(&found->second);
    most_entries += found->second.size();
  }

  // Sized once for every document that can match, so it never rehashes.
  HashMap<uint32_t, float> scores;
  scores.reserve(std::min<std::size_t>(index.doc_count, most_entries));
  for (const std::vector<Posting>* list : lists) {
    const float df = static_cast<float>(list->size());
    const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const Posting& posting : *list) {
      const float dl = posting.doc_id < index.doc_lengths.size()
                           ? static_cast<float>(index.doc_lengths[posting.doc_id])
                           : 0.0f;
      const float tf = static_cast<float>(posting.term_freq);
      // This exact order of float operations makes scores reproducible.
      const float x = (dl * kB) / avgdl + kOneMinusB;
      const float denominator = x * kK1 + tf;
      scores[posting.doc_id] += (tf * kK1PlusOne) / denominator * idf;
    }
  }
  return select_top_k(scores, k);
}

}  // namespace tessarine
