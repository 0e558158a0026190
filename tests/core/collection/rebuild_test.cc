// A rebuild carries the keyword index over by renumbering its postings; the
// result must be exactly the index that indexing the live texts again, in
// the new id order, builds.
#include "core/collection/rebuild.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/collection/collection_ops.h"

namespace tessarine {
namespace {

// The index indexing the live documents' texts in internal-id order gives.
InvertedIndex indexed_from_scratch(const Collection& c) {
  InvertedIndex index;
  for_each_live_document(c, [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
    index.add_document(internal, doc->text);
  });
  return index;
}

void expect_same_index(const InvertedIndex& actual, const InvertedIndex& expected) {
  EXPECT_EQ(actual.doc_lengths, expected.doc_lengths);
  EXPECT_EQ(actual.doc_count, expected.doc_count);
  EXPECT_EQ(actual.total_length, expected.total_length);
  ASSERT_EQ(actual.postings.size(), expected.postings.size());
  for (const auto& [term, list] : expected.postings) {
    auto it = actual.postings.find(term);
    ASSERT_NE(it, actual.postings.end()) << term;
    const PostingList& got = it->second;
    EXPECT_EQ(got.entries(), list.entries()) << term;
    EXPECT_EQ(got.ascending(), list.ascending()) << term;
    EXPECT_EQ(got.max_term_freq(), list.max_term_freq()) << term;
    EXPECT_EQ(got.min_doc_length(), list.min_doc_length()) << term;
    ASSERT_EQ(got.blocks().size(), list.blocks().size()) << term;
    for (std::size_t b = 0; b < list.blocks().size(); ++b) {
      EXPECT_EQ(got.blocks()[b].last_doc_id, list.blocks()[b].last_doc_id) << term;
      EXPECT_EQ(got.blocks()[b].max_term_freq, list.blocks()[b].max_term_freq) << term;
      EXPECT_EQ(got.blocks()[b].min_doc_length, list.blocks()[b].min_doc_length) << term;
    }
  }
}

// Texts with shared and rare terms, repeats, stop words only ("the and")
// and no text at all; "common" appears in every other document, so its list
// spans several blocks.
std::string text_of(int i) {
  if (i % 17 == 3) return "";
  if (i % 19 == 5) return "the and";
  std::string text = "word" + std::to_string(i % 7) + " rare" + std::to_string(i);
  if (i % 2 == 0) text += " common common";
  if (i % 5 == 0) text += " Shared, shared. SHARED";
  return text;
}

TEST(RebuildTest, KeywordIndexEqualsIndexingTheLiveTextsAgain) {
  LockedCollection locked(Collection("c", 2, HnswConfig{}));
  std::vector<Uuid> ids;
  for (int i = 0; i < 300; ++i) {
    Result<Uuid> id = insert_document(locked, Document::create(text_of(i), {}),
                                      std::vector<float>{1.0f, static_cast<float>(i)});
    ASSERT_TRUE(id.ok());
    ids.push_back(*id);
  }
  // Each round deletes more (a deleted document's own "rareN" term
  // disappears) and re-inserts a deleted id, which gets a new internal id;
  // later rounds rebuild an index that was itself derived.
  const std::vector<std::vector<int>> rounds = {
      {}, {1, 2, 10, 11, 64, 65, 66, 200, 299}, {3, 17, 24, 31, 38, 45, 52, 59, 73, 150}};
  for (const std::vector<int>& deletes : rounds) {
    for (int i : deletes) delete_document(locked, ids[i]);
    if (!deletes.empty()) {
      Document again = Document::create("rare1 reinserted", {});
      again.id = ids[deletes.front()];
      ASSERT_TRUE(insert_document(locked, again, std::vector<float>{0.5f, 0.5f}).ok());
    }
    rebuild(locked);
    expect_same_index(locked.data.inverted_index, indexed_from_scratch(locked.data));
  }
}

}  // namespace
}  // namespace tessarine
