#include "core/bm25/inverted_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

namespace tessarine {
namespace {

std::vector<Posting> postings_of(const InvertedIndex& index, std::string_view term) {
  auto it = index.postings.find(as_key(term));
  return it == index.postings.end() ? std::vector<Posting>{} : it->second.entries();
}

// The block summaries of one list bound its postings: one block per
// kPostingBlockSize postings, its last id, a term frequency no lower and a
// length no higher than any of its postings', and list-wide values no
// tighter than the blocks'.
void expect_bounds_hold(const InvertedIndex& index, const std::string& term,
                        const PostingList& list) {
  const std::vector<Posting>& entries = list.entries();
  ASSERT_EQ(list.blocks().size(), (entries.size() + kPostingBlockSize - 1) / kPostingBlockSize)
      << term;
  const bool ascending =
      std::adjacent_find(entries.begin(), entries.end(), [](const Posting& a, const Posting& b) {
        return a.doc_id >= b.doc_id;
      }) == entries.end();
  EXPECT_EQ(list.ascending(), ascending) << term;
  for (std::size_t b = 0; b < list.blocks().size(); ++b) {
    const PostingBlock& block = list.blocks()[b];
    const std::size_t stop = std::min(entries.size(), (b + 1) * kPostingBlockSize);
    EXPECT_EQ(block.last_doc_id, entries[stop - 1].doc_id) << term << " block " << b;
    for (std::size_t i = b * kPostingBlockSize; i < stop; ++i) {
      const uint32_t id = entries[i].doc_id;
      const uint32_t length = id < index.doc_lengths.size() ? index.doc_lengths[id] : 0;
      EXPECT_GE(block.max_term_freq, entries[i].term_freq) << term << " posting " << i;
      EXPECT_LE(block.min_doc_length, length) << term << " posting " << i;
    }
    EXPECT_GE(list.max_term_freq(), block.max_term_freq) << term;
    EXPECT_LE(list.min_doc_length(), block.min_doc_length) << term;
  }
}

// Invariants every operation must keep.
void expect_consistent(const InvertedIndex& index) {
  EXPECT_EQ(index.total_length,
            std::accumulate(index.doc_lengths.begin(), index.doc_lengths.end(), uint64_t{0}));
  for (const auto& [term, list] : index.postings) {
    EXPECT_FALSE(list.empty()) << term;
    for (const Posting& p : list) {
      ASSERT_LT(p.doc_id, index.doc_lengths.size()) << term;
      EXPECT_GT(index.doc_lengths[p.doc_id], 0u) << term;
      EXPECT_GT(p.term_freq, 0u) << term;
    }
    expect_bounds_hold(index, term, list);
  }
}

TEST(InvertedIndex, AddCountsTermsAndLengths) {
  InvertedIndex index;
  index.add_document(0, "apple banana apple");
  EXPECT_EQ(postings_of(index, "apple"), (std::vector<Posting>{{0, 2}}));
  EXPECT_EQ(postings_of(index, "banana"), (std::vector<Posting>{{0, 1}}));
  EXPECT_EQ(index.postings.size(), 2u);
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{3}));
  EXPECT_EQ(index.doc_count, 1u);
  EXPECT_EQ(index.total_length, 3u);

  index.add_document(1, "Banana, the cherry!");
  EXPECT_EQ(postings_of(index, "banana"), (std::vector<Posting>{{0, 1}, {1, 1}}));
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{3, 2}));
  EXPECT_EQ(index.total_length, 5u);
  expect_consistent(index);
}

TEST(InvertedIndex, AddingAHighIdFillsTheGapWithZeros) {
  InvertedIndex index;
  index.add_document(5, "one two");
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{0, 0, 0, 0, 0, 2}));
  index.add_document(2, "three");
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{0, 0, 1, 0, 0, 2}));
  EXPECT_EQ(index.doc_count, 2u);
}

TEST(InvertedIndex, TextWithoutTermsIsCountedButHasNoPostings) {
  InvertedIndex index;
  index.add_document(0, "the a of");
  index.add_document(1, "");
  EXPECT_TRUE(index.postings.empty());
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(index.doc_count, 2u);
  EXPECT_EQ(index.total_length, 0u);
}

TEST(InvertedIndex, RemoveTakesTheDocumentOutOfEveryList) {
  InvertedIndex index;
  index.add_document(0, "apple banana");
  index.add_document(1, "banana cherry cherry");
  index.add_document(2, "banana apple");

  index.remove_document(1);
  // "cherry" was only in document 1: the term is gone.
  EXPECT_FALSE(index.postings.contains("cherry"));
  EXPECT_EQ(postings_of(index, "banana"), (std::vector<Posting>{{0, 1}, {2, 1}}));
  EXPECT_EQ(postings_of(index, "apple"), (std::vector<Posting>{{0, 1}, {2, 1}}));
  EXPECT_EQ(index.doc_lengths, (std::vector<uint32_t>{2, 0, 2}));
  EXPECT_EQ(index.doc_count, 2u);
  EXPECT_EQ(index.total_length, 4u);
  expect_consistent(index);

  // Removing again, or an id never added, changes nothing.
  const InvertedIndex before = index;
  index.remove_document(1);
  index.remove_document(99);
  EXPECT_EQ(index.doc_lengths, before.doc_lengths);
  EXPECT_EQ(index.doc_count, before.doc_count);
  EXPECT_EQ(index.postings, before.postings);

  index.remove_document(0);
  index.remove_document(2);
  EXPECT_TRUE(index.postings.empty());
  EXPECT_EQ(index.doc_count, 0u);
  EXPECT_EQ(index.total_length, 0u);
  EXPECT_EQ(index.doc_lengths.size(), 3u);  // never shrinks
}

TEST(InvertedIndex, RemovingADocumentWithoutTermsKeepsItCounted) {
  InvertedIndex index;
  index.add_document(0, "apple");
  index.add_document(1, "the a of");
  index.remove_document(1);
  EXPECT_EQ(index.doc_count, 2u);
  EXPECT_EQ(index.total_length, 1u);
  EXPECT_EQ(postings_of(index, "apple"), (std::vector<Posting>{{0, 1}}));
}

TEST(InvertedIndex, AddingAnIndexedIdAgainReplacesItsEntry) {
  InvertedIndex index;
  index.add_document(0, "apple banana");
  index.add_document(0, "banana cherry cherry");
  EXPECT_FALSE(index.postings.contains("apple"));
  EXPECT_EQ(postings_of(index, "banana"), (std::vector<Posting>{{0, 1}}));
  EXPECT_EQ(postings_of(index, "cherry"), (std::vector<Posting>{{0, 2}}));
  EXPECT_EQ(index.doc_count, 1u);
  EXPECT_EQ(index.total_length, 3u);
  expect_consistent(index);
}

// Lists spanning several blocks: removals from the first, a middle and the
// last block, and from a block's edges, shift the later postings; every
// block summary must still bound its postings, and the removed ids be gone.
TEST(InvertedIndex, BlockSummariesFollowAddsAndRemovals) {
  InvertedIndex index;
  const uint32_t documents = 5 * kPostingBlockSize + 7;
  std::vector<Posting> expected;
  for (uint32_t id = 0; id < documents; ++id) {
    // "common" in every document, id % 5 + 1 times, in texts of varying length.
    std::string text;
    for (uint32_t i = 0; i <= id % 5; ++i) text += "common ";
    for (uint32_t i = 0; i < id % 7; ++i)
      text.append("filler").append(std::to_string(i)).append(" ");
    index.add_document(id, text);
    expected.push_back({id, id % 5 + 1});
  }
  expect_consistent(index);
  for (uint32_t id : {0u, 1u, 63u, 64u, 100u, 127u, 128u, 200u, documents - 1, documents - 2}) {
    index.remove_document(id);
    std::erase_if(expected, [id](const Posting& p) { return p.doc_id == id; });
    EXPECT_EQ(postings_of(index, "common"), expected) << "after removing " << id;
    expect_consistent(index);
  }
  // A removed id indexed again lands at the end, out of order.
  index.add_document(100, "common common common common common common common");
  expected.push_back({100, 7});
  EXPECT_EQ(postings_of(index, "common"), expected);
  EXPECT_FALSE(index.postings.at("common").ascending());
  expect_consistent(index);
  index.remove_document(100);
  expected.pop_back();
  EXPECT_EQ(postings_of(index, "common"), expected);
  EXPECT_TRUE(index.postings.at("common").ascending());
  expect_consistent(index);
}

// Lists given whole (as a loaded snapshot gives them) bound document lengths
// by 0 until refresh_bounds() reads doc_lengths.
TEST(InvertedIndex, ListsFilledDirectlyHaveLooseBoundsUntilRefreshed) {
  InvertedIndex index;
  index.postings["apple"] = std::vector<Posting>{{0, 2}, {1, 1}};
  index.postings["pear"] = {{1, 3}};
  index.doc_lengths = {4, 5};
  index.doc_count = 2;
  index.total_length = 9;
  EXPECT_EQ(index.postings.at("apple").min_doc_length(), 0u);
  EXPECT_EQ(index.postings.at("apple").max_term_freq(), 2u);
  expect_consistent(index);
  index.refresh_bounds();
  EXPECT_EQ(index.postings.at("apple").min_doc_length(), 4u);
  EXPECT_EQ(index.postings.at("pear").min_doc_length(), 5u);
  expect_consistent(index);
}

}  // namespace
}  // namespace tessarine
