#include "core/bm25/inverted_index.h"

#include <algorithm>
#include <limits>

#include "core/bm25/tokenizer.h"

namespace tessarine {
namespace {

// Counts beyond 32 bits need a text of over 8 GiB; they are held at the
// largest value rather than wrapped.
uint32_t saturate_u32(std::size_t n) {
  return static_cast<uint32_t>(std::min<std::size_t>(n, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

void InvertedIndex::add_document(uint32_t doc_id, std::string_view text) {
  // Indexing an id twice would list it twice in a posting list; the earlier
  // entry is undone first.
  if (doc_id < doc_lengths.size() && doc_lengths[doc_id] != 0) remove_document(doc_id);

  const TokenizedText terms = tokenize(text);
  const uint32_t length = saturate_u32(terms.size());
  if (doc_lengths.size() <= doc_id) doc_lengths.resize(std::size_t{doc_id} + 1, 0);
  doc_lengths[doc_id] = length;
  ++doc_count;
  total_length += length;
  if (terms.empty()) return;

  HashMap<absl::string_view, std::size_t> counts;
  counts.reserve(terms.size());
  for (std::string_view term : terms) ++counts[as_key(term)];
  for (const auto& [term, count] : counts) {
    auto it = postings.find(term);
    if (it == postings.end())
      it = postings.emplace(std::string(term), std::vector<Posting>{}).first;
    it->second.push_back(Posting{doc_id, saturate_u32(count)});
  }
}

void InvertedIndex::remove_document(uint32_t doc_id) {
  if (doc_id >= doc_lengths.size()) return;
  const uint32_t length = doc_lengths[doc_id];
  // A document that produced no terms stays counted in doc_count.
  if (length == 0) return;
  doc_lengths[doc_id] = 0;
  if (doc_count > 0) --doc_count;
  total_length -= std::min<uint64_t>(length, total_length);

  // There is no map from a document to its terms: every list is scanned.
  for (auto it = postings.begin(); it != postings.end();) {
    std::erase_if(it->second, [doc_id](const Posting& p) { return p.doc_id == doc_id; });
    if (it->second.empty()) {
      postings.erase(it++);
    } else {
      ++it;
    }
  }
}

}  // namespace tessarine
