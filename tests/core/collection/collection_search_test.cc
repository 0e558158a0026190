#include "core/collection/collection_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/collection/collection_ops.h"

namespace tessarine {
namespace {

struct Seed {
  std::string text;
  Metadata metadata;
  std::vector<float> embedding;
};

CollectionHandle make_collection(DistanceMetric metric, bool raw_vectors, uint64_t dimension,
                                 const std::vector<Seed>& seeds) {
  HnswConfig config;
  config.distance_metric = metric;
  config.store_raw_vectors = raw_vectors;
  auto handle = std::make_shared<LockedCollection>(Collection("docs", dimension, config));
  for (const Seed& seed : seeds) {
    Result<Uuid> id =
        insert_document(*handle, Document::create(seed.text, seed.metadata), seed.embedding);
    EXPECT_TRUE(id.ok()) << id.status().message();
  }
  return handle;
}

// (text, score) of each result, in order.
using Hits = std::vector<std::pair<std::string, float>>;

Hits run(const LockedCollection& c, const SearchRequest& request) {
  Result<std::vector<ScoredDocument>> found = search_collection(c, request);
  EXPECT_TRUE(found.ok()) << found.status().message();
  Hits hits;
  if (!found.ok()) return hits;
  for (const ScoredDocument& d : *found) hits.emplace_back(d.document->text, d.score);
  return hits;
}

std::vector<std::string> texts(const Hits& hits) {
  std::vector<std::string> out;
  for (const auto& hit : hits) out.push_back(hit.first);
  return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

FilterCondition color_is(const char* color) {
  return {"color", std::nullopt, JsonValue(std::string(color)), FilterOp::Eq};
}

// Five documents on the unit circle around the query (1, 0): cosine
// similarities 1, 0.8, 0.6, 0 and -1. For "apple", BM25 ranks the shorter
// "red apple" first, so that document leads both sides of a hybrid search.
class CollectionSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    collection_ = make_collection(
        DistanceMetric::Cosine, /*raw_vectors=*/true, 2,
        {
            {"red apple", {{"color", std::string("red")}, {"price", int64_t{10}}}, {1.0f, 0.0f}},
            {"green apple tart",
             {{"color", std::string("green")}, {"price", int64_t{20}}},
             {0.8f, 0.6f}},
            {"red cherry", {{"color", std::string("red")}, {"price", int64_t{30}}}, {0.6f, 0.8f}},
            {"yellow banana", {{"color", std::string("yellow")}}, {0.0f, 1.0f}},
            {"green pear", {{"color", std::string("green")}}, {-1.0f, 0.0f}},
        });
  }

  SearchRequest vector_request(uint64_t k = 10) const {
    SearchRequest r;
    r.query_embedding = std::vector<float>{1.0f, 0.0f};
    r.k = k;
    return r;
  }
  SearchRequest keyword_request(const char* text, uint64_t k = 10) const {
    SearchRequest r;
    r.query_text = text;
    r.k = k;
    return r;
  }
  SearchRequest hybrid_request(const char* text, uint64_t k = 10) const {
    SearchRequest r = vector_request(k);
    r.query_text = text;
    return r;
  }

  // One request per path: vector, filtered vector, keyword, hybrid, filtered
  // hybrid (the filters are empty, so they admit every live document).
  std::vector<SearchRequest> every_path(const char* text, uint64_t k) const {
    std::vector<SearchRequest> requests = {vector_request(k), vector_request(k),
                                           keyword_request(text, k), hybrid_request(text, k),
                                           hybrid_request(text, k)};
    requests[1].filter = Filter{};
    requests[4].filter = Filter{};
    return requests;
  }

  CollectionHandle collection_;
};

TEST_F(CollectionSearchTest, RejectsMissingOrMalformedQueries) {
  SearchRequest none;
  none.filter = Filter{};
  Result<std::vector<ScoredDocument>> missing = search_collection(*collection_, none);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(missing.status().message(),
            "at least one of query_embedding or query_text is required");

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> bad = {{},          {1.0f},      {1.0f, 0.0f, 0.0f},
                                               {nan, 0.0f}, {0.0f, inf}, {-inf, 1.0f}};
  for (const auto& embedding : bad) {
    for (bool with_text : {false, true}) {
      for (uint64_t k : {uint64_t{0}, uint64_t{10}}) {
        SearchRequest r;
        r.query_embedding = embedding;
        if (with_text) r.query_text = "apple";
        r.k = k;
        Result<std::vector<ScoredDocument>> found = search_collection(*collection_, r);
        ASSERT_FALSE(found.ok()) << embedding.size() << " components, text " << with_text;
        EXPECT_EQ(found.status().code(), ErrorCode::kInvalidArgument);
      }
    }
  }
  SearchRequest wrong_length = vector_request();
  wrong_length.query_embedding = std::vector<float>{1.0f, 0.0f, 0.0f};
  EXPECT_EQ(search_collection(*collection_, wrong_length).status().message(),
            "query embedding has 3 dimensions, but collection 'docs' expects 2");
}

TEST_F(CollectionSearchTest, VectorSearchRanksByCosineSimilarity) {
  const Hits hits = run(*collection_, vector_request(3));
  ASSERT_EQ(texts(hits), (std::vector<std::string>{"red apple", "green apple tart", "red cherry"}));
  EXPECT_NEAR(hits[0].second, 1.0f, 1e-6);
  EXPECT_NEAR(hits[1].second, 0.8f, 1e-6);
  EXPECT_NEAR(hits[2].second, 0.6f, 1e-6);
}

TEST_F(CollectionSearchTest, MinSimilarityCutsVectorResults) {
  for (bool filtered : {false, true}) {
    SearchRequest r = vector_request();
    r.min_similarity = 0.7f;
    if (filtered) r.filter = Filter{};
    EXPECT_EQ(texts(run(*collection_, r)),
              (std::vector<std::string>{"red apple", "green apple tart"}))
        << "filtered " << filtered;
    r.min_similarity = 1.5f;
    EXPECT_TRUE(run(*collection_, r).empty());
  }
}

TEST_F(CollectionSearchTest, FilterRestrictsVectorSearch) {
  SearchRequest red = vector_request();
  red.filter = Filter{{color_is("red")}, {}};
  const Hits hits = run(*collection_, red);
  ASSERT_EQ(texts(hits), (std::vector<std::string>{"red apple", "red cherry"}));
  EXPECT_NEAR(hits[1].second, 0.6f, 1e-6);

  SearchRequest not_red = vector_request(2);
  not_red.filter = Filter{{}, {color_is("red")}};
  EXPECT_EQ(texts(run(*collection_, not_red)),
            (std::vector<std::string>{"green apple tart", "yellow banana"}));

  SearchRequest empty_filter = vector_request();
  empty_filter.filter = Filter{};
  EXPECT_EQ(run(*collection_, empty_filter).size(), 5u);
}

TEST_F(CollectionSearchTest, KeywordSearchIgnoresFilterAndMinSimilarity) {
  const Hits plain = run(*collection_, keyword_request("apple"));
  ASSERT_EQ(sorted(texts(plain)), (std::vector<std::string>{"green apple tart", "red apple"}));
  EXPECT_GT(plain[0].second, 0.0f);

  SearchRequest constrained = keyword_request("apple");
  constrained.filter = Filter{{color_is("none")}, {}};
  constrained.min_similarity = 100.0f;
  EXPECT_EQ(run(*collection_, constrained), plain);

  EXPECT_TRUE(run(*collection_, keyword_request("durian")).empty());
  EXPECT_TRUE(run(*collection_, keyword_request("")).empty());
}

TEST_F(CollectionSearchTest, HybridLinearWithAlphaOneScoresByVectorOnly) {
  // The vector side (k = 2) finds the apples, normalised to 1 and 0; "pear"
  // is found by keyword only and scores 0 as well. Among the two zeros the
  // higher internal id (the pear, 4) stays.
  SearchRequest r = hybrid_request("pear", 2);
  r.fusion_method = "linear";
  r.alpha = 1.0f;
  const Hits hits = run(*collection_, r);
  ASSERT_EQ(texts(hits), (std::vector<std::string>{"red apple", "green pear"}));
  EXPECT_EQ(hits[0].second, 1.0f);
  EXPECT_EQ(hits[1].second, 0.0f);
}

TEST_F(CollectionSearchTest, OnlyExactlyLinearSelectsLinearFusion) {
  SearchRequest r = hybrid_request("apple");
  const Hits rrf = run(*collection_, r);
  ASSERT_EQ(rrf.size(), 5u);
  EXPECT_EQ(rrf[0].first, "red apple");  // first on both sides
  EXPECT_FLOAT_EQ(rrf[0].second, 2.0f / 61.0f);
  for (const auto& hit : rrf) EXPECT_LE(hit.second, 2.0f / 61.0f + 1e-7f);

  for (const char* method : {"Linear", "LINEAR", "linear ", "bogus", ""}) {
    r.fusion_method = method;
    EXPECT_EQ(run(*collection_, r), rrf) << method;
  }
  r.fusion_method = "linear";
  const Hits linear = run(*collection_, r);
  EXPECT_EQ(linear[0].first, "red apple");
  EXPECT_FLOAT_EQ(linear[0].second, 1.0f);  // normalised 1 on both sides
}

TEST_F(CollectionSearchTest, MinSimilarityAppliesToFusedScores) {
  for (bool filtered : {false, true}) {
    SearchRequest r = hybrid_request("apple");
    if (filtered) r.filter = Filter{};
    r.min_similarity = 0.05f;  // above every RRF score
    EXPECT_TRUE(run(*collection_, r).empty()) << "filtered " << filtered;
    r.min_similarity = 2.0f / 61.0f - 1e-6f;  // only the document first on both sides
    EXPECT_EQ(texts(run(*collection_, r)), (std::vector<std::string>{"red apple"}));
  }
}

TEST_F(CollectionSearchTest, FilteredHybridFiltersBothSides) {
  SearchRequest r = hybrid_request("apple");
  r.filter = Filter{{}, {color_is("red")}};
  const Hits hits = run(*collection_, r);
  EXPECT_EQ(sorted(texts(hits)),
            (std::vector<std::string>{"green apple tart", "green pear", "yellow banana"}));
  ASSERT_FALSE(hits.empty());
  // First on the vector side (among the passing documents) and the only
  // passing keyword hit.
  EXPECT_EQ(hits[0].first, "green apple tart");
  EXPECT_FLOAT_EQ(hits[0].second, 2.0f / 61.0f);
}

TEST_F(CollectionSearchTest, DeletedDocumentsAreNeverReturned) {
  const std::vector<ScoredDocument> before =
      search_collection(*collection_, vector_request(1)).value();
  ASSERT_EQ(before.size(), 1u);
  ASSERT_TRUE(delete_document(*collection_, before[0].document->id));
  EXPECT_EQ(before[0].document->text, "red apple");  // results outlive the deletion

  for (const SearchRequest& r : every_path("apple", 10)) {
    const std::vector<std::string> found = texts(run(*collection_, r));
    EXPECT_EQ(std::count(found.begin(), found.end(), "red apple"), 0);
    EXPECT_FALSE(found.empty());
  }
  EXPECT_EQ(texts(run(*collection_, vector_request(1))),
            (std::vector<std::string>{"green apple tart"}));
}

TEST_F(CollectionSearchTest, HugeKReturnsEveryMatchAndZeroKNothing) {
  const std::vector<size_t> expected = {5, 5, 2, 5, 5};
  for (uint64_t k : {uint64_t{1} << 40, std::numeric_limits<uint64_t>::max()}) {
    const std::vector<SearchRequest> requests = every_path("apple", k);
    for (size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(run(*collection_, requests[i]).size(), expected[i]) << "path " << i << " k " << k;
    }
  }
  for (const SearchRequest& r : every_path("apple", 0)) EXPECT_TRUE(run(*collection_, r).empty());
}

TEST(CollectionSearchEmptyTest, EmptyCollectionFindsNothing) {
  CollectionHandle c = make_collection(DistanceMetric::Cosine, false, 3, {});
  SearchRequest r;
  r.query_embedding = std::vector<float>{1.0f, 2.0f, 3.0f};
  EXPECT_TRUE(run(*c, r).empty());
  r.filter = Filter{};
  EXPECT_TRUE(run(*c, r).empty());
  r.query_text = "anything";
  EXPECT_TRUE(run(*c, r).empty());
  r.filter.reset();
  EXPECT_TRUE(run(*c, r).empty());
  r.query_embedding.reset();
  EXPECT_TRUE(run(*c, r).empty());
}

TEST(CollectionSearchSelectiveFilterTest, FilteredPathsFindEveryRareMatch) {
  // 4 of 400 documents pass; the graph walk alone may miss some of them,
  // the exact completion must not.
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<Seed> seeds;
  for (int i = 0; i < 400; ++i) {
    const bool rare = i % 100 == 37;
    std::vector<float> v(8);
    for (float& x : v) x = normal(rng);
    seeds.push_back({rare ? "rare" : "common",
                     {{"group", std::string(rare ? "rare" : "common")}},
                     std::move(v)});
  }
  CollectionHandle c = make_collection(DistanceMetric::Cosine, true, 8, seeds);
  SearchRequest r;
  r.query_embedding = std::vector<float>(8, 1.0f);
  r.k = 10;
  r.filter = Filter{{{"group", std::nullopt, JsonValue(std::string("rare")), FilterOp::Eq}}, {}};
  const Hits vector_hits = run(*c, r);
  EXPECT_EQ(texts(vector_hits), std::vector<std::string>(4, "rare"));
  EXPECT_TRUE(std::is_sorted(vector_hits.begin(), vector_hits.end(),
                             [](const auto& a, const auto& b) { return a.second > b.second; }));

  r.query_text = "nothing matches this";  // only the vector side contributes
  EXPECT_EQ(texts(run(*c, r)), std::vector<std::string>(4, "rare"));
}

struct MetricCase {
  const char* name;
  DistanceMetric metric;
  std::vector<float> query;
  std::vector<std::vector<float>> vectors;
  std::vector<float> scores;  // expected, best first
};

TEST(CollectionSearchScoreTest, ScoreIsOneMinusDistancePerMetric) {
  const std::vector<MetricCase> cases = {
      {"cosine",
       DistanceMetric::Cosine,
       {1.0f, 0.0f},
       {{0.6f, 0.8f}, {2.0f, 0.0f}, {0.0f, -3.0f}},
       {1.0f, 0.6f, 0.0f}},
      {"euclidean",
       DistanceMetric::Euclidean,
       {0.0f, 0.0f},
       {{2.0f, 0.0f}, {1.0f, 0.0f}, {0.5f, 0.0f}},
       {0.75f, 0.0f, -3.0f}},
      {"dot product",
       DistanceMetric::DotProduct,
       {1.0f, 2.0f},
       {{0.5f, 0.0f}, {1.0f, 1.0f}, {-1.0f, 0.0f}},
       {4.0f, 1.5f, 0.0f}},
  };
  for (const MetricCase& mc : cases) {
    for (bool raw : {true, false}) {
      std::vector<Seed> seeds;
      for (const auto& v : mc.vectors) seeds.push_back({"doc", {}, v});
      CollectionHandle c = make_collection(mc.metric, raw, 2, seeds);
      SearchRequest r;
      r.query_embedding = mc.query;
      const Hits hits = run(*c, r);
      ASSERT_EQ(hits.size(), mc.scores.size()) << mc.name;
      // Raw vectors give exact distances; scalar codes are close.
      const float tolerance = raw ? 1e-6f : 0.05f;
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_NEAR(hits[i].second, mc.scores[i], tolerance) << mc.name << " raw " << raw;
      }
    }
  }
}

TEST(CollectionSearchScoreTest, EuclideanMinSimilarityZeroExcludesFarDocuments) {
  CollectionHandle c = make_collection(DistanceMetric::Euclidean, true, 2,
                                       {{"far", {}, {2.0f, 0.0f}}, {"near", {}, {0.5f, 0.0f}}});
  SearchRequest r;
  r.query_embedding = std::vector<float>{0.0f, 0.0f};
  r.min_similarity = 0.0f;
  EXPECT_EQ(texts(run(*c, r)), (std::vector<std::string>{"near"}));
}

// Each re-insert of a deleted id adds a placeholder to the id table, which
// rehashes now and then while the old slot is being read (AddressSanitizer
// caught a read through the stale iterator here).
TEST(ReinsertDeletedIdTest, IdTablesStayConsistentWhileTheyGrow) {
  auto c = make_collection(DistanceMetric::Cosine, false, 2, {});
  const Uuid id = Document::create("", {}).id;
  for (int round = 0; round < 200; ++round) {
    const std::string text = "version" + std::to_string(round);
    ASSERT_TRUE(insert_document(*c, Document{id, text, {}}, std::vector<float>{1.0f, 0.5f}).ok());
    ASSERT_EQ(get_document(*c, id)->text, text);
    if (round + 1 < 200) {
      ASSERT_TRUE(delete_document(*c, id));
    }
  }
  const Collection& data = c->data;
  ASSERT_EQ(data.internal_to_uuid.size(), 200u);
  ASSERT_EQ(data.uuid_to_internal.size(), 200u);
  for (const auto& [uuid, internal] : data.uuid_to_internal) {
    EXPECT_EQ(data.internal_to_uuid[internal], uuid);
  }
  EXPECT_EQ(data.uuid_to_internal.at(id), 199u);
  SearchRequest r;
  r.query_embedding = std::vector<float>{1.0f, 0.5f};
  EXPECT_EQ(texts(run(*c, r)), (std::vector<std::string>{"version199"}));
}

}  // namespace
}  // namespace tessarine
