// k-NN search restricted by a filter that takes part in the graph walk.
#include <random>
#include <vector>

#include "core/distance/simd.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/search.h"
#include "gtest/gtest.h"
#include "hnsw_test_util.h"

namespace tessarine {
namespace {

using testing_util::ascending;
using testing_util::build_index;
using testing_util::make_config;
using testing_util::random_data;
using testing_util::row;

// The true top k among live passing nodes, by the distance results are
// ranked by (exact with raw vectors, scalar-quantized otherwise).
std::vector<uint32_t> true_top_k(const HnswIndex& index, std::span<const float> query,
                                 std::size_t k, const std::function<bool(uint32_t)>& passes) {
  const PreparedQuery prepared = prepare_query(index, query, /*with_table=*/false);
  std::vector<DistanceId> all;
  for (uint32_t id = 0; id < index.node_count; ++id) {
    if (!index.deleted[id] && passes(id)) {
      all.emplace_back(compute_distance(index, prepared, id, nullptr), id);
    }
  }
  sort_by_distance(all);
  std::vector<uint32_t> ids;
  for (std::size_t i = 0; i < all.size() && i < k; ++i) ids.push_back(all[i].second);
  return ids;
}

std::vector<uint32_t> ids_of(const std::vector<DistanceId>& results) {
  std::vector<uint32_t> ids;
  for (const auto& [d, id] : results) ids.push_back(id);
  return ids;
}

class FilteredSearchTest : public ::testing::TestWithParam<bool> {
 protected:
  static constexpr std::size_t kNodes = 2500, kDim = 16;
  void SetUp() override {
    data_ = random_data(31, kNodes, kDim);
    index_ = build_index(make_config(DistanceMetric::Cosine, GetParam(), 10, 60, 40), data_, kDim);
  }
  std::vector<float> data_;
  HnswIndex index_;
};

// About 1 node in 100 passes: fewer than the beam holds, so the walk must
// find every one of them and the answer is exact.
TEST_P(FilteredSearchTest, VerySelectiveFilterGivesTheTrueTopK) {
  const auto passes = [](uint32_t id) { return id % 97 == 5; };
  for (std::size_t q = 0; q < 10; ++q) {
    const auto query = row(data_, kDim, q * 13);
    const auto found = knn_search_filtered(index_, query, 10, passes);
    EXPECT_EQ(ids_of(found), true_top_k(index_, query, 10, passes)) << "query " << q;
  }
}

TEST_P(FilteredSearchTest, ModerateFilterKeepsOnlyPassingNodesInOrder) {
  const auto passes = [](uint32_t id) { return id % 7 == 0; };
  double recall = 0.0;
  for (std::size_t q = 0; q < 20; ++q) {
    const auto query = row(data_, kDim, q * 11 + 1);
    const auto found = knn_search_filtered(index_, query, 10, passes);
    ASSERT_EQ(found.size(), 10u);
    EXPECT_TRUE(ascending(found));
    const PreparedQuery prepared = prepare_query(index_, query, /*with_table=*/false);
    for (const auto& [d, id] : found) {
      EXPECT_TRUE(passes(id)) << id;
      EXPECT_EQ(d, compute_distance(index_, prepared, id, nullptr));  // rescored
    }
    const auto truth = true_top_k(index_, query, 10, passes);
    recall += testing_util::overlap(found, truth);
  }
  EXPECT_GE(recall / 20, 0.95);
}

TEST_P(FilteredSearchTest, NothingPassesOrEverythingTombstoned) {
  const auto query = row(data_, kDim, 0);
  EXPECT_TRUE(knn_search_filtered(index_, query, 10, [](uint32_t) { return false; }).empty());
  EXPECT_TRUE(knn_search_filtered(index_, query, 0, [](uint32_t) { return true; }).empty());
  // Tombstoned nodes never reach the filter and are never returned.
  const auto passes = [](uint32_t id) { return id % 50 == 0; };
  for (uint32_t id = 0; id < kNodes; id += 100) index_.deleted[id] = 1;
  std::size_t filter_calls_on_tombstones = 0;
  const auto found = knn_search_filtered(index_, query, 100, [&](uint32_t id) {
    filter_calls_on_tombstones += index_.deleted[id];
    return passes(id);
  });
  EXPECT_EQ(found.size(), kNodes / 100);  // the 25 live ones: ids 50, 150, ...
  for (const auto& [d, id] : found) EXPECT_EQ(id % 100, 50u);
  EXPECT_EQ(filter_calls_on_tombstones, 0u);
}

INSTANTIATE_TEST_SUITE_P(RawAndCoded, FilteredSearchTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Raw" : "Coded"; });

// With m = 0 no node has links, so the walk reaches only the entry point;
// the exact scan of the passing nodes must supply the answer.
TEST(FilteredSearchFallbackTest, UnreachableMatchesAreFoundByTheExactScan) {
  const std::size_t n = 300, dim = 8;
  const auto data = random_data(32, n, dim);
  const HnswIndex index =
      build_index(make_config(DistanceMetric::Euclidean, true, 0, 10, 10), data, dim);
  const auto passes = [](uint32_t id) { return id % 60 == 1; };  // 5 nodes
  const auto query = row(data, dim, 121);
  EXPECT_EQ(ids_of(knn_search_filtered(index, query, 3, passes)),
            true_top_k(index, query, 3, passes));
  const auto all = knn_search_filtered(index, query, 10, passes);
  EXPECT_EQ(all.size(), 5u);
  EXPECT_EQ(all.front().second, 121u);
  // The unfiltered search completes the same way.
  EXPECT_EQ(ids_of(knn_search(index, query, 4)),
            true_top_k(index, query, 4, [](uint32_t) { return true; }));
}

}  // namespace
}  // namespace tessarine
