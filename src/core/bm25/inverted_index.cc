#include "core/bm25/inverted_index.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/bm25/tokenizer.h"

namespace tessarine {
namespace {

// Counts beyond 32 bits need a text of over 8 GiB; they are held at the
// largest value rather than wrapped.
uint32_t saturate_u32(std::size_t n) {
  return static_cast<uint32_t>(std::min<std::size_t>(n, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

PostingList::PostingList(std::vector<Posting> postings) : postings_(std::move(postings)) {
  refresh_bounds({});
}

PostingList::PostingList(std::initializer_list<Posting> postings)
    : PostingList(std::vector<Posting>(postings)) {}

void PostingList::append(Posting posting, uint32_t doc_length) {
  if (!postings_.empty() && posting.doc_id <= postings_.back().doc_id) ascending_ = false;
  if (postings_.size() % kPostingBlockSize == 0) {
    blocks_.push_back(PostingBlock{posting.doc_id, posting.term_freq, doc_length});
  } else {
    PostingBlock& block = blocks_.back();
    block.last_doc_id = posting.doc_id;
    block.max_term_freq = std::max(block.max_term_freq, posting.term_freq);
    block.min_doc_length = std::min(block.min_doc_length, doc_length);
  }
  postings_.push_back(posting);
  max_term_freq_ = std::max(max_term_freq_, posting.term_freq);
  min_doc_length_ = std::min(min_doc_length_, doc_length);
}

bool PostingList::erase(uint32_t doc_id, std::span<const uint32_t> doc_lengths) {
  const auto by_id = [](const Posting& p, uint32_t id) { return p.doc_id < id; };
  auto it = ascending_ ? std::lower_bound(postings_.begin(), postings_.end(), doc_id, by_id)
                       : std::find_if(postings_.begin(), postings_.end(),
                                      [doc_id](const Posting& p) { return p.doc_id == doc_id; });
  if (it == postings_.end() || it->doc_id != doc_id) return false;
  const auto position = static_cast<std::size_t>(it - postings_.begin());
  postings_.erase(it);
  if (!ascending_) {
    // Rare (only an index filled out of order): the list may have become
    // ascending, and every block is recomputed.
    refresh_bounds(doc_lengths);
    return true;
  }
  // Blocks before the removed posting keep their postings; the later ones
  // shift by one and are summarised again.
  rebuild_blocks_from(position / kPostingBlockSize, doc_lengths);
  return true;
}

void PostingList::refresh_bounds(std::span<const uint32_t> doc_lengths) {
  ascending_ = std::adjacent_find(postings_.begin(), postings_.end(),
                                  [](const Posting& a, const Posting& b) {
                                    return a.doc_id >= b.doc_id;
                                  }) == postings_.end();
  rebuild_blocks_from(0, doc_lengths);
}

void PostingList::rebuild_blocks_from(std::size_t first_block,
                                      std::span<const uint32_t> doc_lengths) {
  blocks_.resize(std::min(blocks_.size(), first_block));
  for (std::size_t start = blocks_.size() * kPostingBlockSize; start < postings_.size();
       start += kPostingBlockSize) {
    const std::size_t stop = std::min(postings_.size(), start + kPostingBlockSize);
    PostingBlock block{postings_[stop - 1].doc_id, 0, UINT32_MAX};
    for (std::size_t i = start; i < stop; ++i) {
      const uint32_t id = postings_[i].doc_id;
      block.max_term_freq = std::max(block.max_term_freq, postings_[i].term_freq);
      block.min_doc_length =
          std::min(block.min_doc_length, id < doc_lengths.size() ? doc_lengths[id] : 0u);
    }
    blocks_.push_back(block);
  }
  max_term_freq_ = 0;
  min_doc_length_ = UINT32_MAX;
  for (const PostingBlock& block : blocks_) {
    max_term_freq_ = std::max(max_term_freq_, block.max_term_freq);
    min_doc_length_ = std::min(min_doc_length_, block.min_doc_length);
  }
}

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
    if (it == postings.end()) it = postings.emplace(std::string(term), PostingList{}).first;
    it->second.append(Posting{doc_id, saturate_u32(count)}, length);
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

  // There is no map from a document to its terms: every list is searched
  // (by bisection, as lists are in ascending id order).
  for (auto it = postings.begin(); it != postings.end();) {
    it->second.erase(doc_id, doc_lengths);
    if (it->second.empty()) {
      postings.erase(it++);
    } else {
      ++it;
    }
  }
}

void InvertedIndex::refresh_bounds() {
  for (auto& [term, list] : postings) list.refresh_bounds(doc_lengths);
}

}  // namespace tessarine
