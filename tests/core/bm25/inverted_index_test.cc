#include "core/bm25/inverted_index.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace tessarine {
namespace {

std::vector<Posting> postings_of(const InvertedIndex& index, std::string_view term) {
  auto it = index.postings.find(as_key(term));
  return it == index.postings.end() ? std::vector<Posting>{} : it->second;
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

}  // namespace
}  // namespace tessarine
