#include "core/bm25/scorer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tessarine {
namespace {

std::vector<uint32_t> ids_of(const RankedList& list) {
  std::vector<uint32_t> ids;
  for (const auto& [id, score] : list) ids.push_back(id);
  return ids;
}

TEST(Bm25, SingleDocumentScoreFollowsTheFormula) {
  InvertedIndex index;
  index.add_document(0, "apple banana apple");
  const RankedList result = bm25_search(index, "apple", 10);
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].first, 0u);
  // N = 1, df = 1, idf = ln(0.5 / 1.5 + 1); dl = avgdl = 3, tf = 2,
  // x = 1.0, denominator = 3.2.
  const float idf = std::log((1.0f - 1.0f + 0.5f) / (1.0f + 0.5f) + 1.0f);
  EXPECT_EQ(result[0].second, (2.0f * 2.2f) / 3.2f * idf);
  EXPECT_NEAR(result[0].second, 0.39556f, 1e-5f);
}

TEST(Bm25, RepeatedQueryTermsCountAgain) {
  InvertedIndex index;
  index.add_document(0, "apple banana apple");
  index.add_document(1, "banana cherry");
  const float once = bm25_search(index, "apple", 10).at(0).second;
  EXPECT_EQ(bm25_search(index, "apple apple", 10).at(0).second, 2.0f * once);
  EXPECT_EQ(bm25_search(index, "APPLE, Apple!", 10).at(0).second, 2.0f * once);
}

TEST(Bm25, RanksByDescendingScore) {
  InvertedIndex index;
  index.add_document(0, "cat dog bird fish");  // one "cat" in a long text
  index.add_document(1, "cat cat");            // two in a short one
  index.add_document(2, "dog bird");           // none
  index.add_document(3, "cat mouse");          // one in a short text
  const RankedList result = bm25_search(index, "cat", 10);
  EXPECT_EQ(ids_of(result), (std::vector<uint32_t>{1, 3, 0}));
  for (const auto& [id, score] : result) EXPECT_GT(score, 0.0f);

  // A rarer term weighs more than a common one.
  const RankedList mixed = bm25_search(index, "cat mouse", 10);
  EXPECT_EQ(mixed.front().first, 3u);
}

TEST(Bm25, KBoundsTheResult) {
  InvertedIndex index;
  for (uint32_t id = 0; id < 5; ++id) {
    index.add_document(id, std::string(id + 1, 'x') + " " + "apple");
  }
  EXPECT_TRUE(bm25_search(index, "apple", 0).empty());
  EXPECT_EQ(bm25_search(index, "apple", 3).size(), 3u);
  EXPECT_EQ(bm25_search(index, "apple", 100).size(), 5u);
  EXPECT_EQ(bm25_search(index, "apple", std::numeric_limits<uint64_t>::max()).size(), 5u);
}

TEST(Bm25, TiesForTheLastPlaceKeepTheHigherIds) {
  InvertedIndex index;
  index.add_document(0, "kiwi");  // a rare term: the best score, kept whatever its id
  index.add_document(1, "apple pear");
  index.add_document(2, "apple pear");
  index.add_document(3, "apple pear");
  const RankedList result = bm25_search(index, "kiwi apple", 3);
  EXPECT_EQ(result[0].first, 0u);
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[1].second, result[2].second);
  std::vector<uint32_t> ids = ids_of(result);
  std::sort(ids.begin() + 1, ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 2, 3}));

  // Three equal scores for two places: the two higher ids stay.
  InvertedIndex equal;
  for (uint32_t id = 0; id < 3; ++id) equal.add_document(id, "apple");
  std::vector<uint32_t> kept = ids_of(bm25_search(equal, "apple", 2));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<uint32_t>{1, 2}));
}

TEST(Bm25, QueriesWithoutUsableTermsFindNothing) {
  InvertedIndex index;
  index.add_document(0, "the apple of il gatto");
  EXPECT_TRUE(bm25_search(index, "the of il della", 10).empty());
  EXPECT_TRUE(bm25_search(index, "a b c", 10).empty());
  EXPECT_TRUE(bm25_search(index, "", 10).empty());
  EXPECT_TRUE(bm25_search(index, "banana", 10).empty());
  EXPECT_TRUE(bm25_search(InvertedIndex{}, "apple", 10).empty());
}

TEST(Bm25, RemovedDocumentsAreNotFound) {
  InvertedIndex index;
  index.add_document(0, "apple banana");
  index.add_document(1, "apple cherry");
  index.remove_document(0);
  EXPECT_EQ(ids_of(bm25_search(index, "apple banana", 10)), (std::vector<uint32_t>{1}));
  EXPECT_TRUE(bm25_search(index, "banana", 10).empty());

  // The score is the one of an index that never held document 0.
  InvertedIndex fresh;
  fresh.add_document(1, "apple cherry");
  EXPECT_EQ(bm25_search(index, "apple", 10), bm25_search(fresh, "apple", 10));
}

}  // namespace
}  // namespace tessarine
