#include "core/bm25/scorer.h"

#include <algorithm>
#include <cmath>
#include <limits>
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

// One occurrence of a term in a document. This exact order of float
// operations makes scores reproducible; both scorers use it.
inline float term_score(float tf, float dl, float avgdl, float idf) {
  const float x = (dl * kB) / avgdl + kOneMinusB;
  const float denominator = x * kK1 + tf;
  return (tf * kK1PlusOne) / denominator * idf;
}

inline float doc_length(const InvertedIndex& index, uint32_t doc_id) {
  return doc_id < index.doc_lengths.size() ? static_cast<float>(index.doc_lengths[doc_id]) : 0.0f;
}

inline float idf_of(float n, std::size_t list_size) {
  const float df = static_cast<float>(list_size);
  return std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
}

// Best first: descending score, then descending id, the total order whose
// bottom select_top_k evicts; it makes the order among equal scores defined.
void sort_best_first(RankedList& list) {
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return top_k_detail::ranks_below(b, a); });
}

// The posting lists of the query terms, in query order and with
// repetitions: a repeated term counts again. Unknown terms are left out.
std::vector<const PostingList*> query_lists(const InvertedIndex& index,
                                            const TokenizedText& terms) {
  std::vector<const PostingList*> lists;
  lists.reserve(terms.size());
  for (std::string_view term : terms) {
    const auto found = index.postings.find(as_key(term));
    if (found != index.postings.end()) lists.push_back(&found->second);
  }
  return lists;
}

RankedList score_exhaustively(const InvertedIndex& index,
                              const std::vector<const PostingList*>& lists, uint64_t k,
                              std::size_t* matched = nullptr) {
  const float n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;
  std::size_t most_entries = 0;
  for (const PostingList* list : lists) most_entries += list->size();

  // Sized once for every document that can match, so it never rehashes.
  HashMap<uint32_t, float> scores;
  scores.reserve(std::min<std::size_t>(index.doc_count, most_entries));
  for (const PostingList* list : lists) {
    const float idf = idf_of(n, list->size());
    for (const Posting& posting : *list) {
      scores[posting.doc_id] += term_score(static_cast<float>(posting.term_freq),
                                           doc_length(index, posting.doc_id), avgdl, idf);
    }
  }
  if (matched != nullptr) *matched = scores.size();
  RankedList result = select_top_k(scores, k);
  sort_best_first(result);
  return result;
}

// ---- The pruned scorer ----------------------------------------------------
//
// Document-at-a-time MaxScore with block bounds. Every bound is a true upper
// bound of the float score the exhaustive scorer computes:
//
// - One contribution is bounded by the formula evaluated at the largest term
//   frequency and the smallest document length of the list (or block). The
//   exact formula increases with tf and decreases with dl, but its float
//   evaluation rounds 8 times and need not be monotone; kContributionSlack
//   (2^-16, far above 8 roundings of 2^-24 each) covers that.
// - A score is a float sum of at most m contributions (m query terms with
//   repetitions), within about m * 2^-24 of their exact sum; bounds are summed
//   in double (non-negative terms, so relative error below m * 2^-53) and
//   scaled by margin = 1 + (m + 2) * 2^-22 before the comparison.
// - A document is skipped only when its scaled bound is strictly below the
//   k-th best score: documents come in ascending id order, so one scoring
//   exactly that score would still enter (equal scores keep the higher id).

constexpr double kContributionSlack = 1.0 + 0x1p-16;
constexpr uint64_t kEnd = uint64_t{1} << 32;  // above every doc id
constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

struct Cursor {
  const Posting* begin = nullptr;
  const Posting* pos = nullptr;  // the next posting not yet passed
  const Posting* end = nullptr;
  const PostingBlock* blocks = nullptr;
  std::size_t block_count = 0;
  std::size_t block = 0;  // first block whose last doc id is >= the latest target
  std::size_t bounded_block = std::numeric_limits<std::size_t>::max();
  double block_bound = 0;  // bound of bounded_block, times occurrences
  double bound = 0;        // bound over the whole list, times occurrences
  float idf = 0;
  float occurrences = 0;
  uint64_t scored_doc = kNone;  // the document `value` belongs to
  float value = 0;              // one occurrence's contribution to scored_doc
};

inline uint64_t current(const Cursor& c) { return c.pos == c.end ? kEnd : c.pos->doc_id; }

// Moves the block position (not the postings) to the block that may hold
// `target`.
inline void shallow_seek(Cursor& c, uint64_t target) {
  while (c.block < c.block_count && c.blocks[c.block].last_doc_id < target) ++c.block;
}

// Moves to the first posting whose id is >= target.
inline void seek(Cursor& c, uint64_t target) {
  shallow_seek(c, target);
  if (c.block == c.block_count) {
    c.pos = c.end;
    return;
  }
  const Posting* block_start = c.begin + c.block * kPostingBlockSize;
  if (c.pos < block_start) c.pos = block_start;
  while (c.pos != c.end && c.pos->doc_id < target) ++c.pos;  // stops in this block
}

class PrunedSearch {
 public:
  PrunedSearch(const InvertedIndex& index, float avgdl, uint64_t k)
      : index_(index), avgdl_(avgdl), k_(k) {}

  // False when a list is out of order or a bound is not a positive finite
  // number (an inconsistent index): the caller then scores exhaustively.
  bool prepare(const std::vector<const PostingList*>& lists) {
    const float n = static_cast<float>(index_.doc_count);
    if (!(avgdl_ > 0.0f) || !std::isfinite(avgdl_)) return false;
    std::vector<const PostingList*> distinct;
    std::vector<uint32_t> occurrences;
    std::vector<uint32_t> slot_of_position;
    slot_of_position.reserve(lists.size());
    for (const PostingList* list : lists) {
      const auto slot = static_cast<uint32_t>(std::find(distinct.begin(), distinct.end(), list) -
                                              distinct.begin());
      if (slot == distinct.size()) {
        if (!list->ascending()) return false;
        distinct.push_back(list);
        occurrences.push_back(0);
      }
      ++occurrences[slot];
      slot_of_position.push_back(slot);
    }

    std::vector<Cursor> cursors(distinct.size());
    for (std::size_t i = 0; i < distinct.size(); ++i) {
      const PostingList& list = *distinct[i];
      Cursor& c = cursors[i];
      c.begin = c.pos = list.entries().data();
      c.end = c.begin + list.size();
      c.blocks = list.blocks().data();
      c.block_count = list.blocks().size();
      c.idf = idf_of(n, list.size());
      c.occurrences = static_cast<float>(occurrences[i]);
      if (!(c.idf > 0.0f) || !std::isfinite(c.idf)) return false;
      c.bound = bound_of(c, list.max_term_freq(), list.min_doc_length());
      if (!(c.bound > 0.0) || !std::isfinite(c.bound)) return false;
    }

    // Weakest list first; positions refer to the sorted cursors.
    std::vector<uint32_t> order(cursors.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return cursors[a].bound < cursors[b].bound; });
    std::vector<uint32_t> sorted_slot(order.size());
    cursors_.reserve(cursors.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
      sorted_slot[order[i]] = i;
      cursors_.push_back(cursors[order[i]]);
    }
    positions_.reserve(slot_of_position.size());
    for (uint32_t slot : slot_of_position) positions_.push_back(sorted_slot[slot]);

    prefix_bound_.assign(cursors_.size() + 1, 0.0);
    for (std::size_t i = 0; i < cursors_.size(); ++i) {
      prefix_bound_[i + 1] = prefix_bound_[i] + cursors_[i].bound;
    }
    block_prefix_.assign(cursors_.size() + 1, 0.0);
    margin_ = 1.0 + static_cast<double>(positions_.size() + 2) * 0x1p-22;
    heap_.reserve(static_cast<std::size_t>(std::min<uint64_t>(k_, index_.doc_count)) + 1);
    return true;
  }

  uint64_t postings() const {
    uint64_t total = 0;
    for (const Cursor& c : cursors_) total += static_cast<uint64_t>(c.end - c.begin);
    return total;
  }
  uint64_t scored() const { return scored_; }

  RankedList run() {
    const std::size_t n = cursors_.size();
    while (first_essential_ < n) {
      // The next candidate: the lowest id on an essential list.
      uint64_t doc = kEnd;
      for (std::size_t i = first_essential_; i < n; ++i) doc = std::min(doc, current(cursors_[i]));
      if (doc == kEnd) break;

      if (full()) {
        // Every list's block bound holds for the ids from doc to the first
        // block end (range_end_); when even their sum cannot reach the
        // threshold, the essential lists jump past that end. The sum stays
        // valid for the later candidates of the range.
        if (!range_set_ || doc > range_end_) {
          range_set_ = true;
          range_sum_ = 0.0;
          range_end_ = kEnd - 1;
          for (Cursor& c : cursors_) {
            shallow_seek(c, doc);
            if (c.block == c.block_count) continue;
            range_sum_ += block_bound(c);
            range_end_ = std::min<uint64_t>(range_end_, c.blocks[c.block].last_doc_id);
          }
        }
        if (range_sum_ * margin_ < threshold_) {
          for (std::size_t i = first_essential_; i < n; ++i) seek(cursors_[i], range_end_ + 1);
          continue;
        }
      }

      double known = 0.0;
      for (std::size_t i = first_essential_; i < n; ++i) {
        Cursor& c = cursors_[i];
        if (current(c) != doc) continue;
        score_here(c, doc);
        known += static_cast<double>(c.value) * c.occurrences;
        ++c.pos;
      }
      if (!visit_non_essential(doc, known)) continue;

      float score = 0.0f;  // in query order, as the exhaustive scorer adds
      for (uint32_t slot : positions_) {
        const Cursor& c = cursors_[slot];
        if (c.scored_doc == doc) score += c.value;
      }
      ++scored_;
      offer(static_cast<uint32_t>(doc), score);
    }
    sort_best_first(heap_);
    return std::move(heap_);
  }

 private:
  double bound_of(const Cursor& c, uint32_t max_term_freq, uint32_t min_doc_length) const {
    const float best = term_score(static_cast<float>(max_term_freq),
                                  static_cast<float>(min_doc_length), avgdl_, c.idf);
    return static_cast<double>(best) * kContributionSlack * c.occurrences;
  }

  double block_bound(Cursor& c) const {
    if (c.bounded_block != c.block) {
      const PostingBlock& b = c.blocks[c.block];
      c.block_bound = bound_of(c, b.max_term_freq, b.min_doc_length);
      c.bounded_block = c.block;
    }
    return c.block_bound;
  }

  void score_here(Cursor& c, uint64_t doc) const {
    c.value = term_score(static_cast<float>(c.pos->term_freq), doc_length(index_, c.pos->doc_id),
                         avgdl_, c.idf);
    c.scored_doc = doc;
  }

  // Scores doc on the non-essential lists, strongest first, while it can
  // still reach the threshold; false when it cannot.
  bool visit_non_essential(uint64_t doc, double known) {
    if (first_essential_ == 0) return true;
    // Non-essential lists exist only once the heap is full, and the block
    // positions were moved to doc above.
    for (std::size_t i = 0; i < first_essential_; ++i) {
      block_prefix_[i + 1] =
          block_prefix_[i] +
          (cursors_[i].block == cursors_[i].block_count ? 0.0 : block_bound(cursors_[i]));
    }
    for (std::size_t i = first_essential_; i-- > 0;) {
      if ((known + block_prefix_[i + 1]) * margin_ < threshold_) return false;
      Cursor& c = cursors_[i];
      seek(c, doc);
      if (current(c) != doc) continue;
      score_here(c, doc);
      known += static_cast<double>(c.value) * c.occurrences;
    }
    return true;
  }

  bool full() const { return heap_.size() == k_; }

  void offer(uint32_t doc, float score) {
    const auto greater = [](const auto& a, const auto& b) {
      return top_k_detail::ranks_below(b, a);
    };
    if (!full()) {
      heap_.emplace_back(doc, score);
      std::push_heap(heap_.begin(), heap_.end(), greater);
    } else if (!top_k_detail::ranks_below({doc, score}, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), greater);
      heap_.back() = {doc, score};
      std::push_heap(heap_.begin(), heap_.end(), greater);
    } else {
      return;
    }
    if (!full()) return;
    threshold_ = heap_.front().second;
    // Lists whose bounds, with all weaker ones, cannot reach the threshold
    // no longer propose candidates.
    while (first_essential_ < cursors_.size() &&
           prefix_bound_[first_essential_ + 1] * margin_ < threshold_) {
      ++first_essential_;
    }
  }

  const InvertedIndex& index_;
  const float avgdl_;
  const uint64_t k_;
  std::vector<Cursor> cursors_;       // weakest bound first
  std::vector<uint32_t> positions_;   // query order with repetitions, as cursor indices
  std::vector<double> prefix_bound_;  // prefix_bound_[i]: sum of the bounds of cursors below i
  std::vector<double> block_prefix_;
  double margin_ = 1.0;
  double threshold_ = -std::numeric_limits<double>::infinity();
  // Ids up to range_end_ lie, on every list, in the block the cursor's block
  // position names; range_sum_ is the sum of those blocks' bounds.
  uint64_t range_end_ = 0;
  double range_sum_ = 0.0;
  bool range_set_ = false;
  std::size_t first_essential_ = 0;
  uint64_t scored_ = 0;
  RankedList heap_;  // min-heap on (score, id): the entry to evict on top
};

}  // namespace

RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k,
                       Bm25SearchStats& stats) {
  stats = {};
  const TokenizedText terms = tokenize(query);
  if (terms.empty() || index.doc_count == 0 || k == 0) return {};
  const std::vector<const PostingList*> lists = query_lists(index, terms);
  if (lists.empty()) return {};
  const float avgdl = static_cast<float>(index.total_length) / static_cast<float>(index.doc_count);
  PrunedSearch search(index, avgdl, k);
  if (!search.prepare(lists)) {
    stats.exhaustive = true;
    std::vector<const PostingList*> distinct = lists;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (const PostingList* list : distinct) stats.postings += list->size();
    std::size_t matched = 0;
    RankedList result = score_exhaustively(index, lists, k, &matched);
    stats.scored = matched;
    return result;
  }
  RankedList result = search.run();
  stats.postings = search.postings();
  stats.scored = search.scored();
  return result;
}

RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k) {
  Bm25SearchStats stats;
  return bm25_search(index, query, k, stats);
}

RankedList bm25_search_exhaustive(const InvertedIndex& index, std::string_view query, uint64_t k) {
  const TokenizedText terms = tokenize(query);
  if (terms.empty() || index.doc_count == 0) return {};
  return score_exhaustively(index, query_lists(index, terms), k);
}

}  // namespace tessarine
