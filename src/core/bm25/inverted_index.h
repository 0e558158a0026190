// The keyword index of one collection: term -> postings, plus the document
// lengths and totals BM25 needs. Documents are identified by internal id.
// Field order is the persisted order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash_map.h"

namespace tessarine {

struct Posting {
  uint32_t doc_id = 0;
  uint32_t term_freq = 0;

  friend bool operator==(const Posting&, const Posting&) = default;
};

// Summary of kPostingBlockSize consecutive postings of one list (the last
// block may be shorter), from which the scorer bounds the contribution of any
// posting in the block without reading it.
struct PostingBlock {
  uint32_t last_doc_id = 0;     // doc_id of the block's last posting
  uint32_t max_term_freq = 0;   // at least every term_freq in the block
  uint32_t min_doc_length = 0;  // at most the length of every document in the block
};

inline constexpr std::size_t kPostingBlockSize = 64;

// One term's postings with their block summaries. The summaries are bounds,
// never exact requirements: a posting appended without its document's length
// (push_back, construction from a plain sequence) counts as length 0, which
// only makes the bound looser; refresh_bounds() tightens them again.
// Equality compares the postings only.
class PostingList {
 public:
  using value_type = Posting;
  using const_iterator = std::vector<Posting>::const_iterator;
  using iterator = const_iterator;

  PostingList() = default;
  PostingList(std::vector<Posting> postings);  // NOLINT(google-explicit-constructor)
  // With tight bounds from the documents' lengths, computed once.
  PostingList(std::vector<Posting> postings, std::span<const uint32_t> doc_lengths);
  PostingList(std::initializer_list<Posting> postings);

  const std::vector<Posting>& entries() const { return postings_; }
  std::size_t size() const { return postings_.size(); }
  bool empty() const { return postings_.empty(); }
  const_iterator begin() const { return postings_.begin(); }
  const_iterator end() const { return postings_.end(); }
  const Posting& operator[](std::size_t i) const { return postings_[i]; }

  // True when the doc ids strictly increase along the list, which is how
  // add_document builds it; block last_doc_id values are only meaningful then.
  bool ascending() const { return ascending_; }
  const std::vector<PostingBlock>& blocks() const { return blocks_; }
  // Over the whole list (possibly looser than the blocks after a removal).
  uint32_t max_term_freq() const { return max_term_freq_; }
  uint32_t min_doc_length() const { return min_doc_length_; }

  // Appends with the posting's document length, for a tight bound.
  void append(Posting posting, uint32_t doc_length);
  // Appends with length 0 (the loosest bound).
  void push_back(Posting posting) { append(posting, 0); }
  // Removes the posting of doc_id if present; true when one was removed.
  // Blocks from the removed position on are recomputed with doc_lengths.
  bool erase(uint32_t doc_id, std::span<const uint32_t> doc_lengths);
  // Recomputes every summary from the postings and doc_lengths (an id beyond
  // doc_lengths has length 0).
  void refresh_bounds(std::span<const uint32_t> doc_lengths);

  friend bool operator==(const PostingList& a, const PostingList& b) {
    return a.postings_ == b.postings_;
  }
  friend bool operator==(const PostingList& a, const std::vector<Posting>& b) {
    return a.postings_ == b;
  }

 private:
  void rebuild_blocks_from(std::size_t first_block, std::span<const uint32_t> doc_lengths);

  std::vector<Posting> postings_;
  std::vector<PostingBlock> blocks_;
  uint32_t max_term_freq_ = 0;
  uint32_t min_doc_length_ = UINT32_MAX;
  bool ascending_ = true;
};

struct InvertedIndex {
  HashMap<std::string, PostingList> postings;
  std::vector<uint32_t> doc_lengths;  // indexed by internal id; 0 when never indexed or removed
  uint32_t doc_count = 0;
  uint64_t total_length = 0;

  // Indexes one document's text under its internal id: records its length
  // (0 for a text without terms, which still counts in doc_count) and
  // appends one posting per distinct term. An id that is already indexed
  // with a non-zero length is removed first, so it is never listed twice.
  void add_document(uint32_t doc_id, std::string_view text);

  // Undoes add_document for a deleted document: when doc_id was indexed with
  // a non-zero length, zeroes its length, updates the totals and removes its
  // postings (and terms left without postings). A document whose text gave
  // no terms is left counted in doc_count.
  void remove_document(uint32_t doc_id);

  // The index that indexing the kept documents again would give when
  // document `id` becomes new_ids[id] (kDroppedDocument, or an id beyond
  // new_ids: left out). new_ids maps the kept ids in ascending order onto
  // 0 .. kept - 1, and every kept id must be below doc_lengths.size(). Terms
  // are not tokenized again: postings are renumbered, so the cost is one
  // pass over the postings.
  InvertedIndex remapped(std::span<const uint32_t> new_ids, uint32_t kept) const;
  static constexpr uint32_t kDroppedDocument = UINT32_MAX;

  // Recomputes every posting list's bounds from doc_lengths; for an index
  // whose fields were filled directly (a loaded snapshot). Searching is
  // correct without it, only slower.
  void refresh_bounds();
};

}  // namespace tessarine
