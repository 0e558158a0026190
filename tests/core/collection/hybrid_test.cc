#include "core/collection/hybrid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace tessarine {
namespace {

std::vector<uint32_t> ids_of(const RankedList& list) {
  std::vector<uint32_t> ids;
  for (const auto& entry : list) ids.push_back(entry.first);
  return ids;
}

float score_of(const RankedList& list, uint32_t id) {
  for (const auto& [i, s] : list) {
    if (i == id) return s;
  }
  ADD_FAILURE() << "id " << id << " missing";
  return std::numeric_limits<float>::quiet_NaN();
}

TEST(RrfFusionTest, SumsReciprocalRanksAndIgnoresScores) {
  const RankedList vector = {{7, 0.99f}, {3, 0.1f}};
  const RankedList keyword = {{3, 12.0f}, {9, 0.5f}};
  const RankedList fused = rrf_fusion(vector, keyword, 10);
  ASSERT_EQ(ids_of(fused), (std::vector<uint32_t>{3, 7, 9}));
  EXPECT_EQ(fused[0].second, 1.0f / 62.0f + 1.0f / 61.0f);  // vector term first
  EXPECT_NEAR(fused[0].second, 0.032522f, 1e-6);
  EXPECT_EQ(fused[1].second, 1.0f / 61.0f);
  EXPECT_EQ(fused[2].second, 1.0f / 62.0f);

  // The entries' own scores play no part.
  const RankedList other_scores = rrf_fusion({{7, -5.0f}, {3, 100.0f}}, {{3, 0.0f}, {9, 0.0f}}, 10);
  EXPECT_EQ(other_scores, fused);
}

TEST(RrfFusionTest, FusedScoresNeverExceedTwoOver61) {
  RankedList vector, keyword;
  for (uint32_t i = 0; i < 100; ++i) {
    vector.emplace_back(i, 1.0f);
    keyword.emplace_back(99 - i, 1.0f);
  }
  const RankedList fused = rrf_fusion(vector, keyword, 1000);
  ASSERT_EQ(fused.size(), 100u);
  for (const auto& [id, score] : fused) EXPECT_LE(score, 2.0f / 61.0f);
  EXPECT_TRUE(std::is_sorted(fused.begin(), fused.end(),
                             [](const auto& a, const auto& b) { return a.second > b.second; }));
}

TEST(LinearFusionTest, NormalisesEachListAndWeightsByAlpha) {
  const RankedList vector = {{1, 0.9f}, {2, 0.5f}};
  const RankedList keyword = {{2, 4.0f}, {3, 2.0f}};
  const RankedList fused = linear_fusion(vector, keyword, 10, 0.7f);
  ASSERT_EQ(ids_of(fused), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(fused[0].second, 0.7f);
  EXPECT_EQ(fused[1].second, 1.0f - 0.7f);
  EXPECT_EQ(fused[2].second, 0.0f);
}

TEST(LinearFusionTest, OneEntryOrFlatListNormalisesToOne) {
  EXPECT_EQ(linear_fusion({{4, -3.0f}}, {}, 10, 0.25f), (RankedList{{4, 0.25f}}));
  EXPECT_EQ(linear_fusion({}, {{4, 8.0f}}, 10, 0.25f), (RankedList{{4, 0.75f}}));
  const RankedList flat = linear_fusion({{1, 0.5f}, {2, 0.5f}}, {}, 10, 1.0f);
  EXPECT_EQ(score_of(flat, 1), 1.0f);
  EXPECT_EQ(score_of(flat, 2), 1.0f);
}

TEST(LinearFusionTest, AlphaOneKeepsKeywordOnlyIdsAtZero) {
  const RankedList vector = {{1, 1.0f}, {5, 0.5f}, {2, 0.0f}};
  const RankedList keyword = {{8, 9.0f}, {1, 1.0f}};
  const RankedList fused = linear_fusion(vector, keyword, 10, 1.0f);
  ASSERT_EQ(fused.size(), 4u);
  EXPECT_EQ(ids_of(fused)[0], 1u);
  EXPECT_EQ(score_of(fused, 1), 1.0f);
  EXPECT_EQ(score_of(fused, 5), 0.5f);
  EXPECT_EQ(score_of(fused, 8), 0.0f);
  EXPECT_EQ(score_of(fused, 2), 0.0f);
  // Only when k leaves room below the vector results.
  EXPECT_EQ(ids_of(linear_fusion(vector, keyword, 2, 1.0f)), (std::vector<uint32_t>{1, 5}));
}

TEST(LinearFusionTest, AlphaIsNotClamped) {
  const RankedList fused = linear_fusion({{1, 1.0f}, {2, 0.0f}}, {{2, 1.0f}, {1, 0.0f}}, 10, 2.0f);
  EXPECT_EQ(score_of(fused, 1), 2.0f);
  EXPECT_EQ(score_of(fused, 2), -1.0f);
}

TEST(LinearFusionTest, NanScoresNeitherSetTheRangeNorCrash) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const RankedList fused = linear_fusion({{1, 1.0f}, {2, nan}, {3, 0.0f}}, {}, 10, 1.0f);
  ASSERT_EQ(fused.size(), 3u);
  EXPECT_EQ(score_of(fused, 1), 1.0f);
  EXPECT_EQ(score_of(fused, 3), 0.0f);
}

TEST(FusionTest, TopKKeepsHigherIdsAmongLowestTies) {
  // Three ids tie at the lowest score (each at rank 2 of one list, or the
  // single entry of a flat list); k = 2 evicts the lowest id.
  const RankedList tied = linear_fusion({{4, 1.0f}, {9, 1.0f}, {6, 1.0f}}, {}, 2, 1.0f);
  EXPECT_EQ(tied.size(), 2u);
  std::vector<uint32_t> kept = ids_of(tied);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<uint32_t>{6, 9}));

  const RankedList rrf = rrf_fusion({{1, 0.0f}, {4, 0.0f}}, {{2, 0.0f}, {9, 0.0f}, {6, 0.0f}}, 3);
  // 1 and 2 score 1/61; 4 and 9 score 1/62 and 6 scores 1/63.
  EXPECT_EQ(ids_of(rrf).size(), 3u);
  EXPECT_EQ(ids_of(rrf)[2], 9u);
}

TEST(FusionTest, EmptyInputsAndZeroOrHugeK) {
  EXPECT_TRUE(rrf_fusion({}, {}, 10).empty());
  EXPECT_TRUE(linear_fusion({}, {}, 10, 0.5f).empty());
  EXPECT_TRUE(rrf_fusion({{1, 1.0f}}, {{2, 1.0f}}, 0).empty());
  EXPECT_TRUE(linear_fusion({{1, 1.0f}}, {{2, 1.0f}}, 0, 0.5f).empty());
  const uint64_t huge = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(rrf_fusion({{1, 1.0f}}, {{2, 1.0f}}, huge).size(), 2u);
  EXPECT_EQ(linear_fusion({{1, 1.0f}}, {{2, 1.0f}}, huge, 0.5f).size(), 2u);
}

}  // namespace
}  // namespace tessarine
