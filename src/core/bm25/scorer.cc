#include "core/bm25/scorer.h"

#include <algorithm>
#include <cmath>

#include "core/bm25/tokenizer.h"
#include "core/hash_map.h"

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

  HashMap<uint32_t, float> scores;
  scores.reserve(std::min<uint32_t>(index.doc_count, 256));
  // In query order and with repetitions: a repeated term counts again. The
  // float operations keep this exact order so that scores are reproducible.
  for (std::string_view term : terms) {
    const auto found = index.postings.find(as_key(term));
    if (found == index.postings.end()) continue;
    const std::vector<Posting>& list = found->second;
    const float df = static_cast<float>(list.size());
    const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const Posting& posting : list) {
      const float dl = posting.doc_id < index.doc_lengths.size()
                           ? static_cast<float>(index.doc_lengths[posting.doc_id])
                           : 0.0f;
      const float tf = static_cast<float>(posting.term_freq);
      const float x = (dl * kB) / avgdl + kOneMinusB;
      const float denominator = x * kK1 + tf;
      scores[posting.doc_id] += (tf * kK1PlusOne) / denominator * idf;
    }
  }
  return select_top_k(scores, k);
}

}  // namespace tessarine
