// Insertion and k-NN search over the graph.
#include "core/hnsw/graph.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/distance/code_pair.h"
#include "core/distance/distance.h"
#include "core/distance/simd.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/search.h"
#include "core/quantization/pq.h"
#include "gtest/gtest.h"
#include "hnsw_test_util.h"

namespace tessarine {
namespace {

using testing_util::ascending;
using testing_util::brute_force;
using testing_util::build_index;
using testing_util::make_config;
using testing_util::overlap;
using testing_util::random_data;
using testing_util::row;

const auto kAll = [](uint32_t) { return true; };

// Length invariants, ids in range, lists per layer, and degree bounds.
void expect_well_formed(const HnswIndex& index) {
  const std::size_t n = index.node_count, d = index.dimension;
  ASSERT_EQ(index.vector_data.size(), n * d);
  ASSERT_EQ(index.vector_min.size(), n);
  ASSERT_EQ(index.vector_scale.size(), n);
  ASSERT_EQ(index.raw_vectors.size(), index.config.store_raw_vectors ? n * d : 0);
  ASSERT_EQ(index.neighbors.node_count(), n);
  ASSERT_EQ(index.layers.size(), n);
  ASSERT_EQ(index.deleted.size(), n);
  ASSERT_EQ(index.entry_point.has_value(), n > 0);
  if (n == 0) return;
  EXPECT_EQ(index.max_level, index.layers[*index.entry_point]);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(index.neighbors.layer_count(i), index.layers[i] + 1u) << "node " << i;
    EXPECT_LE(index.layers[i], index.max_level);
    for (uint64_t l = 0; l < index.neighbors.layer_count(i); ++l) {
      const auto list = index.neighbors.list(i, l);
      EXPECT_LE(list.size(), l == 0 ? index.config.m_max0 : index.config.m) << "node " << i;
      std::set<uint32_t> unique(list.begin(), list.end());
      EXPECT_EQ(unique.size(), list.size()) << "duplicate link at node " << i;
      for (uint32_t e : list) {
        ASSERT_LT(e, n);
        EXPECT_NE(e, i) << "self link";
        EXPECT_GE(index.layers[e], l) << "link to a node below the layer";
      }
    }
  }
}

TEST(GraphTest, EmptyIndexFindsNothing) {
  const HnswIndex index(make_config(DistanceMetric::Cosine, false), 4);
  const std::vector<float> query = {1, 2, 3, 4};
  EXPECT_TRUE(knn_search(index, query, 10).empty());
  EXPECT_TRUE(knn_search_filtered(index, query, 10, kAll).empty());
  EXPECT_EQ(index.max_level, 0u);
  EXPECT_FALSE(index.entry_point.has_value());
}

TEST(GraphTest, FirstNodeIsTheEntryPointAndIsFound) {
  HnswIndex index(make_config(DistanceMetric::Euclidean, false), 3);
  const std::vector<float> v = {1, 2, 3};
  index.insert(0, v, QuantizedVector::quantize(v));
  EXPECT_EQ(index.entry_point, 0u);
  EXPECT_EQ(index.max_level, index.layers[0]);
  EXPECT_EQ(index.neighbors.layer_count(0), index.layers[0] + 1u);
  for (uint64_t l = 0; l <= index.layers[0]; ++l) EXPECT_TRUE(index.neighbors.list(0, l).empty());
  expect_well_formed(index);
  for (uint64_t k : {1, 5}) {
    const auto found = knn_search(index, v, k);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].second, 0u);
  }
  EXPECT_TRUE(knn_search(index, v, 0).empty());
  index.deleted[0] = 1;
  EXPECT_TRUE(knn_search(index, v, 5).empty());
  EXPECT_TRUE(knn_search_filtered(index, v, 5, kAll).empty());
}

TEST(GraphTest, NodeVectorIsRawOrDecoded) {
  const std::vector<float> v = {0.25f, -1.0f, 3.0f};
  HnswIndex raw(make_config(DistanceMetric::Cosine, true), 3);
  raw.insert(0, v, QuantizedVector::quantize(v));
  EXPECT_EQ(raw.node_vector(0), v);
  HnswIndex coded(make_config(DistanceMetric::Cosine, false), 3);
  coded.insert(0, v, QuantizedVector::quantize(v));
  EXPECT_EQ(coded.node_vector(0), QuantizedVector::quantize(v).view().decode());
  EXPECT_TRUE(coded.raw_vectors.empty());
}

TEST(GraphTest, StructureAndDegreeBoundsHoldAfterManyInsertions) {
  const std::size_t n = 2500, dim = 16;
  const auto data = random_data(21, n, dim);
  for (bool raw : {false, true}) {
    const HnswIndex index =
        build_index(make_config(DistanceMetric::Euclidean, raw, 6, 40), data, dim);
    SCOPED_TRACE(raw ? "raw" : "coded");
    EXPECT_EQ(index.node_count, n);
    expect_well_formed(index);
  }
}

// Recall@10 against brute force over the original vectors. With raw vectors
// the graph alone limits recall; without them the 8-bit codes add their own
// ranking noise.
TEST(GraphTest, RecallAgainstBruteForce) {
  const std::size_t n = 2000, dim = 32, queries = 40, k = 10;
  const auto data = random_data(5, n, dim);
  const auto query_data = random_data(6, queries, dim);
  for (DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (bool raw : {true, false}) {
      const HnswIndex index = build_index(make_config(metric, raw, 12, 64, 64), data, dim);
      double recall = 0.0;
      for (std::size_t q = 0; q < queries; ++q) {
        const auto query = row(query_data, dim, q);
        const auto found = knn_search(index, query, k);
        ASSERT_EQ(found.size(), k);
        ASSERT_TRUE(ascending(found));
        recall += overlap(found, brute_force(data, dim, metric, query, k, kAll));
      }
      recall /= queries;
      RecordProperty("recall", std::to_string(recall));
      const double floor = raw ? 0.95 : 0.85;
      EXPECT_GE(recall, floor) << "metric=" << int(metric) << " raw=" << raw;
    }
  }
}

TEST(GraphTest, DotProductPutsTheLargestDotFirst) {
  const std::size_t n = 500, dim = 8;
  auto data = random_data(8, n, dim);
  const HnswIndex index = build_index(make_config(DistanceMetric::DotProduct, true), data, dim);
  const std::vector<float> query = {1, 0.5f, -0.25f, 2, 0, 1, -1, 0.5f};
  const auto found = knn_search(index, query, 5);
  ASSERT_FALSE(found.empty());
  const auto truth = brute_force(data, dim, DistanceMetric::DotProduct, query, 1, kAll);
  EXPECT_EQ(found[0].second, truth[0]);
  EXPECT_LT(found[0].first, 0.0f);
}

TEST(GraphTest, TombstonedNodesAreNeverReturned) {
  const std::size_t n = 2000, dim = 16, k = 10;
  const auto data = random_data(9, n, dim);
  HnswIndex index = build_index(make_config(DistanceMetric::Euclidean, true, 8, 60, 20), data, dim);
  // Tombstone 90% of the nodes, including every query's true neighbours, so
  // the walk must pass through dead regions to reach live nodes.
  std::mt19937 rng(10);
  for (uint32_t i = 0; i < n; ++i) index.deleted[i] = (rng() % 10) != 0;
  const auto live = [&](uint32_t id) { return index.deleted[id] == 0; };
  for (std::size_t q = 0; q < 20; ++q) {
    const auto query = row(data, dim, q);  // a (possibly tombstoned) stored vector
    const auto found = knn_search(index, query, k);
    ASSERT_EQ(found.size(), k) << "live nodes exist, so k results are expected";
    for (const auto& [d, id] : found) EXPECT_TRUE(live(id)) << id;
    EXPECT_TRUE(ascending(found));
    EXPECT_GE(overlap(found, brute_force(data, dim, DistanceMetric::Euclidean, query, k, live)),
              0.8);
  }
  std::fill(index.deleted.begin(), index.deleted.end(), 1);
  EXPECT_TRUE(knn_search(index, row(data, dim, 0), k).empty());
}

// Node 1 arrives when the only other node is tombstoned: it must still be
// linked (through the tombstone) so that searches can reach it.
TEST(GraphTest, InsertionsKeepTheGraphNavigableAroundTombstones) {
  const std::size_t n = 1200, dim = 8;
  const auto data = random_data(12, n, dim);
  HnswIndex index(make_config(DistanceMetric::Cosine, false, 8, 50), dim);
  for (uint32_t i = 0; i < n; ++i) {
    index.insert(i, row(data, dim, i), QuantizedVector::quantize(row(data, dim, i)));
    if (i % 3 == 0) index.deleted[i] = 1;
  }
  expect_well_formed(index);
  for (uint32_t q : {1u, 2u, 500u, 1199u}) {
    const auto found = knn_search(index, row(data, dim, q), 10);
    ASSERT_EQ(found.size(), 10u);
    EXPECT_EQ(found[0].second, q);
    for (const auto& [d, id] : found) EXPECT_NE(id % 3, 0u);
  }
}

// m = 1 makes every node draw the top level; m = 0 keeps no links at all.
// Neither may crash or loop; level_cap 0 is one layer.
TEST(GraphTest, DegenerateParameters) {
  const std::size_t dim = 4;
  const auto data = random_data(13, 200, dim);
  struct Case {
    uint64_t m, level_cap;
    uint64_t expected_level;
  };
  for (const Case& c : {Case{1, 16, 15}, Case{0, 16, 0}, Case{16, 0, 0}, Case{1, 0, 0}}) {
    HnswConfig config = make_config(DistanceMetric::Euclidean, true, c.m, 20, 10);
    config.level_cap = c.level_cap;
    const HnswIndex index = build_index(config, data, dim);
    SCOPED_TRACE(::testing::Message() << "m=" << c.m << " level_cap=" << c.level_cap);
    expect_well_formed(index);
    for (uint8_t level : index.layers) ASSERT_EQ(level, c.expected_level);
    const auto found = knn_search(index, row(data, dim, 7), 5);
    ASSERT_FALSE(found.empty());
    EXPECT_LE(found.size(), 5u);
    EXPECT_TRUE(ascending(found));
    if (c.m > 1) {  // m of 0 or 1 leaves too few links to navigate reliably
      EXPECT_EQ(found[0].second, 7u);
    }
  }
}

// Parameters up to 2^64 - 1 must neither overflow nor reserve memory beyond
// what the node count needs.
TEST(GraphTest, HugeParametersAreBoundedByTheNodeCount) {
  const std::size_t n = 150, dim = 6;
  const auto data = random_data(14, n, dim);
  HnswConfig config = make_config(DistanceMetric::Cosine, false);
  config.m = UINT64_MAX;
  config.m_max0 = UINT64_MAX;
  config.ef_construction = UINT64_MAX;
  config.ef_search = UINT64_MAX;
  HnswIndex index = build_index(config, data, dim);
  index.deleted[3] = 1;
  const auto found = knn_search(index, row(data, dim, 0), UINT64_MAX);
  EXPECT_EQ(found.size(), n - 1);
  EXPECT_TRUE(ascending(found));
  const auto filtered = knn_search_filtered(index, row(data, dim, 0), UINT64_MAX,
                                            [](uint32_t id) { return id % 2 == 0; });
  EXPECT_EQ(filtered.size(), n / 2);

  HnswConfig search_only = make_config(DistanceMetric::Cosine, false);
  search_only.ef_search = UINT64_MAX / 3;  // 4 * ef overflows
  index.config = search_only;
  EXPECT_EQ(knn_search(index, row(data, dim, 0), 10).size(), 10u);
}

TEST(GraphTest, ResultsAreRescoredDistances) {
  const std::size_t n = 400, dim = 12;
  const auto data = random_data(15, n, dim);
  for (bool raw : {false, true}) {
    const HnswIndex index = build_index(make_config(DistanceMetric::Cosine, raw), data, dim);
    const auto query = row(data, dim, 3);
    const PreparedQuery prepared = prepare_query(index, query, /*with_table=*/false);
    for (const auto& [d, id] : knn_search(index, query, 20)) {
      EXPECT_EQ(d, compute_distance(index, prepared, id, nullptr));
    }
  }
}

// Four points around the origin (the node being linked), Euclidean: B lies
// behind A, so A covers it; C is in another direction.
TEST(NeighborSelectionTest, DiversityFirstThenClosestRejected) {
  HnswIndex index(make_config(DistanceMetric::Euclidean, true), 2);
  const std::vector<std::vector<float>> points = {{1, 0}, {2, 0}, {0, 3}, {0, 3.5f}};
  for (uint32_t i = 0; i < points.size(); ++i) {
    index.insert(i, points[i], QuantizedVector::quantize(points[i]));
  }
  // (distance from the origin, id) in scrambled order.
  const std::vector<DistanceId> candidates = {{9, 2}, {1, 0}, {12.25f, 3}, {4, 1}};
  const auto ids = [&](uint64_t m) {
    std::vector<uint32_t> out;
    for (const auto& [d, id] : select_neighbors_heuristic(index, candidates, m)) out.push_back(id);
    return out;
  };
  EXPECT_EQ(ids(0), (std::vector<uint32_t>{}));
  EXPECT_EQ(ids(1), (std::vector<uint32_t>{0}));
  EXPECT_EQ(ids(2), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(ids(3), (std::vector<uint32_t>{0, 2, 1}));  // B fills in before D
  EXPECT_EQ(ids(4), (std::vector<uint32_t>{0, 2, 1, 3}));
  EXPECT_EQ(ids(UINT64_MAX), (std::vector<uint32_t>{0, 2, 1, 3}));
}

// Copies of a vector take no place beside a kept copy, neither chosen nor
// filling up: the copy of A is skipped, C and D still come in.
TEST(NeighborSelectionTest, CopiesOfAKeptNeighbourAreSkipped) {
  for (bool raw : {true, false}) {
    HnswIndex index(make_config(DistanceMetric::Euclidean, raw), 2);
    const std::vector<std::vector<float>> points = {{1, 0}, {1, 0}, {0, 3}, {0, 3.5f}};
    for (uint32_t i = 0; i < points.size(); ++i) {
      index.insert(i, points[i], QuantizedVector::quantize(points[i]));
    }
    const std::vector<DistanceId> candidates = {{1, 0}, {1, 1}, {9, 2}, {12.25f, 3}};
    std::vector<uint32_t> ids;
    for (const auto& [d, id] : select_neighbors_heuristic(index, candidates, 4)) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 2, 3})) << (raw ? "raw" : "8-bit");
  }
}

// Cutting a full list back after one more candidate arrives re-examines only
// what that candidate can change; it must choose exactly what a selection
// from scratch chooses, in the same order, including among copies and ties.
TEST(NeighborSelectionTest, ReselectionAfterAddingEqualsSelectingAnew) {
  const std::size_t dim = 6, m = 8;
  // Components in {-1, 0, 1}: many equal distances and exact copies.
  std::mt19937 rng(11);
  std::vector<float> data;
  for (std::size_t i = 0; i < 300 * dim; ++i) data.push_back(static_cast<float>(rng() % 3) - 1);
  const auto smooth = random_data(12, 300, dim);
  data.insert(data.end(), smooth.begin(), smooth.end());
  const std::size_t n = data.size() / dim;
  std::size_t compared = 0;
  for (bool raw : {true, false}) {
    for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
      HnswIndex index(make_config(metric, raw, m / 2), dim);
      for (std::size_t i = 0; i < n; ++i) {
        index.insert(static_cast<uint32_t>(i), row(data, dim, i),
                     QuantizedVector::quantize(row(data, dim, i)));
      }
      for (int trial = 0; trial < 60; ++trial) {
        // Measured from e as a list is measured when it is cut back.
        const uint32_t e = static_cast<uint32_t>(rng() % n);
        const auto from_e = [&](uint32_t x) -> DistanceId {
          const float d = raw ? distance_exact(metric, index.raw_vector(e), index.raw_vector(x))
                              : distance_between_codes(metric, index.coded(e), index.coded(x));
          return {d, x};
        };
        std::vector<DistanceId> candidates;
        for (int c = 0; c < 24; ++c) {
          const uint32_t x = static_cast<uint32_t>(rng() % n);
          if (x != e) candidates.push_back(from_e(x));
        }
        // A list of width m: one selection, then one candidate added at a time.
        NeighborSelection list = select_neighbors(index, candidates, m);
        for (int step = 0; step < 20 && list.neighbors.size() == m; ++step) {
          const uint32_t added = static_cast<uint32_t>(rng() % n);
          const bool listed = std::any_of(list.neighbors.begin(), list.neighbors.end(),
                                          [&](const DistanceId& c) { return c.second == added; });
          if (added == e || listed) continue;
          std::vector<DistanceId> grown = list.neighbors;
          grown.push_back(from_e(added));
          const NeighborSelection again = reselect_neighbors(index, grown, list.kept, m);
          list = select_neighbors(index, grown, m);
          ASSERT_EQ(again.neighbors, list.neighbors) << "trial " << trial << " step " << step;
          ASSERT_EQ(again.kept, list.kept);
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 1000u);
}

// Data holding many exact copies (as real embeddings of repeated texts do):
// groups larger than a layer-0 list used to link only among themselves and
// cut the graph apart. Every vector must still be found by a search for it.
TEST(GraphTest, ManyCopiesOfAVectorKeepTheGraphConnected) {
  const std::size_t dim = 8, distinct = 300, groups = 6, copies = 60;
  const auto base = random_data(31, distinct, dim);
  std::vector<float> data;
  std::mt19937 rng(5);
  for (std::size_t i = 0; i < distinct; ++i) {
    const auto v = row(base, dim, i);
    data.insert(data.end(), v.begin(), v.end());
    // Copies of the first few vectors arrive spread among the others.
    if (i % (distinct / (groups * copies / 10)) == 0) {
      for (std::size_t c = 0; c < 10; ++c) {
        const auto g = row(base, dim, rng() % groups);
        data.insert(data.end(), g.begin(), g.end());
      }
    }
  }
  for (bool raw : {true, false}) {
    const HnswIndex index = build_index(make_config(DistanceMetric::Cosine, raw), data, dim);
    std::size_t missed = 0;
    for (std::size_t i = 0; i < distinct; ++i) {
      const auto query = row(base, dim, i);
      const auto found = knn_search(index, query, 1, 32);
      // Any copy of the vector is as good as another.
      const auto v = found.empty() ? std::vector<float>{} : index.node_vector(found[0].second);
      const auto expected = raw ? std::vector<float>(query.begin(), query.end())
                                : QuantizedVector::quantize(query).view().decode();
      if (v != expected) ++missed;
    }
    EXPECT_EQ(missed, 0u) << (raw ? "raw" : "8-bit");
  }
}

// With a codebook the walk uses PQ lookups and the results are rescored.
TEST(GraphTest, ProductQuantizedWalkIsRescored) {
  const std::size_t n = 1500, dim = 16, k = 10;
  const auto data = random_data(16, n, dim);
  HnswIndex index =
      build_index(make_config(DistanceMetric::Euclidean, false, 12, 60, 64), data, dim);
  std::vector<float> decoded;
  for (uint32_t i = 0; i < n; ++i) {
    const auto v = index.node_vector(i);
    decoded.insert(decoded.end(), v.begin(), v.end());
  }
  auto book = PqCodebook::train(decoded, dim, 8);
  ASSERT_TRUE(book.ok());
  index.pq_codes = book->encode_batch(decoded, dim);
  index.pq_codebook = std::move(*book);

  double recall = 0.0;
  for (std::size_t q = 0; q < 20; ++q) {
    const auto query = row(data, dim, q * 7);
    const auto found = knn_search(index, query, k);
    ASSERT_EQ(found.size(), k);
    ASSERT_TRUE(ascending(found));
    const PreparedQuery prepared = prepare_query(index, query, /*with_table=*/false);
    for (const auto& [d, id] : found) {
      EXPECT_EQ(d, compute_distance(index, prepared, id, nullptr));
    }
    recall += overlap(found, brute_force(data, dim, DistanceMetric::Euclidean, query, k, kAll));
  }
  EXPECT_GE(recall / 20, 0.6);

  // Nodes inserted once a codebook exists get their PQ codes at insertion.
  const auto extra = random_data(17, 5, dim);
  for (uint32_t i = 0; i < 5; ++i) {
    index.insert(static_cast<uint32_t>(n + i), row(extra, dim, i),
                 QuantizedVector::quantize(row(extra, dim, i)));
  }
  EXPECT_EQ(index.pq_codes.size(), (n + 5) * 8);
  EXPECT_EQ(std::vector<uint8_t>(index.pq_codes.end() - 8, index.pq_codes.end()),
            index.pq_codebook->encode(row(extra, dim, 4)));
}

}  // namespace
}  // namespace tessarine
