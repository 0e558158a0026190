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

PostingList::PostingList(std::vector<Posting> postings, std::span<const uint32_t> doc_lengths)
    : postings_(std::move(postings)) {
  refresh_bounds(doc_lengths);
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

InvertedIndex InvertedIndex::remapped(std::span<const uint32_t> new_ids, uint32_t kept) const {
  const auto new_id = [&](uint32_t id) {
    return id < new_ids.size() ? new_ids[id] : kDroppedDocument;
  };
  InvertedIndex out;
  out.doc_lengths.assign(kept, 0);
  for (uint32_t id = 0; id < new_ids.size() && id < doc_lengths.size(); ++id) {
    if (new_ids[id] != kDroppedDocument) out.doc_lengths[new_ids[id]] = doc_lengths[id];
  }
  // Indexing counts every document, even one without terms.
  out.doc_count = kept;
  for (uint32_t length : out.doc_lengths) out.total_length += length;

  out.postings.reserve(postings.size());
  std::vector<Posting> kept_postings;
  for (const auto& [term, list] : postings) {
    kept_postings.clear();
    for (const Posting& p : list) {
      if (const uint32_t id = new_id(p.doc_id); id != kDroppedDocument) {
        kept_postings.push_back({id, p.term_freq});
      }
    }
    if (kept_postings.empty()) continue;
    // Renumbering keeps the order; a list that was not ascending (an id
    // indexed again) is sorted, as indexing in id order would list it.
    if (!list.ascending()) {
      std::sort(kept_postings.begin(), kept_postings.end(),
                [](const Posting& a, const Posting& b) { return a.doc_id < b.doc_id; });
    }
    out.postings.emplace(
        term, PostingList(std::vector<Posting>(kept_postings.begin(), kept_postings.end()),
                          out.doc_lengths));
  }
  return out;
}

void InvertedIndex::refresh_bounds() {
  for (auto& [term, list] : postings) list.refresh_bounds(doc_lengths);
}

}  // namespace tessarine
