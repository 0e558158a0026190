// The metadata index and the filter planner against evaluating the filter
// document by document: for every operator, operand type, the numeric
// comparison rules, must_not, deleted and re-inserted documents, the admitted
// set must be exactly the documents passes_filter accepts.
#include "core/collection/filter_plan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/collection/collection_ops.h"
#include "core/collection/rebuild.h"
#include "core/hnsw/layer_search.h"
#include "core/hnsw/search.h"

namespace tessarine {
namespace {

constexpr int64_t kTwo53 = int64_t{1} << 53;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<MetadataValue> sample_values() {
  return {MetadataValue(int64_t{0}),
          MetadataValue(int64_t{1}),
          MetadataValue(int64_t{-7}),
          MetadataValue(kTwo53),
          MetadataValue(kTwo53 + 1),
          MetadataValue(std::numeric_limits<int64_t>::max()),
          MetadataValue(std::numeric_limits<int64_t>::min()),
          MetadataValue(0.1 + 0.2),
          MetadataValue(0.3),
          MetadataValue(-0.0),
          MetadataValue(1.5),
          MetadataValue(kInf),
          MetadataValue(-kInf),
          MetadataValue(std::nan("")),
          MetadataValue(1e300),
          MetadataValue(std::string("libs")),
          MetadataValue(std::string("")),
          MetadataValue(std::string("Libs")),
          MetadataValue(true),
          MetadataValue(false)};
}

std::vector<JsonValue> sample_operands() {
  return {JsonValue(std::monostate{}),
          JsonValue(uint64_t{0}),
          JsonValue(uint64_t{1}),
          JsonValue(int64_t{-7}),
          JsonValue(static_cast<uint64_t>(kTwo53)),
          JsonValue(static_cast<uint64_t>(kTwo53) + 1),
          JsonValue(uint64_t{1} << 63),
          JsonValue(std::numeric_limits<uint64_t>::max()),
          JsonValue(std::numeric_limits<int64_t>::min()),
          JsonValue(0.3),
          JsonValue(0.30000000000000004),
          JsonValue(1.0),
          JsonValue(1.5),
          JsonValue(-0.0),
          JsonValue(kInf),
          JsonValue(-kInf),
          JsonValue(1e300),
          JsonValue(9007199254740992.0),
          JsonValue(std::string("libs")),
          JsonValue(std::string("")),
          JsonValue(true),
          JsonValue(false)};
}

// Documents with the sample values under "a", a second field "b" on some,
// no field at all on others; some deleted, one id deleted and inserted again.
std::unique_ptr<LockedCollection> sample_collection() {
  auto owned = std::make_unique<LockedCollection>(Collection("c", 2, HnswConfig{}));
  LockedCollection& locked = *owned;
  const std::vector<MetadataValue> values = sample_values();
  std::vector<Uuid> ids;
  for (std::size_t i = 0; i < values.size() * 3; ++i) {
    Document document = Document::create("doc", {});
    if (i % 3 != 2) document.metadata["a"] = values[i % values.size()];
    if (i % 2 == 0) document.metadata["b"] = values[(i * 7) % values.size()];
    ids.push_back(document.id);
    EXPECT_TRUE(insert_document(locked, document, std::vector<float>{1.0f, float(i)}).ok());
  }
  for (std::size_t i = 0; i < ids.size(); i += 5) EXPECT_TRUE(delete_document(locked, ids[i]));
  Document back{ids[5], "back", {{"a", MetadataValue(std::string("libs"))}}};
  EXPECT_TRUE(insert_document(locked, back, std::vector<float>{0.0f, 1.0f}).ok());
  return owned;
}

std::vector<uint32_t> evaluated(const Collection& c, const Filter& filter) {
  std::vector<uint32_t> out;
  for (uint32_t id = 0; id < c.internal_to_uuid.size(); ++id) {
    if (passes_filter(c, id, filter)) out.push_back(id);
  }
  return out;
}

std::vector<FilterCondition> every_condition() {
  std::vector<FilterCondition> out;
  const std::vector<JsonValue> operands = sample_operands();
  for (const char* field : {"a", "b", "missing"}) {
    for (FilterOp op :
         {FilterOp::Eq, FilterOp::Ne, FilterOp::Gt, FilterOp::Lt, FilterOp::Gte, FilterOp::Lte}) {
      for (const JsonValue& operand : operands) out.push_back({field, std::nullopt, operand, op});
      out.push_back({field, std::nullopt, std::nullopt, op});  // no operand: matches nothing
    }
    out.push_back({field, operands, std::nullopt, FilterOp::In});
    out.push_back({field, std::vector<JsonValue>{JsonValue(0.3), JsonValue(std::string("libs"))},
                   std::nullopt, FilterOp::In});
    out.push_back({field, std::vector<JsonValue>{}, std::nullopt, FilterOp::In});
  }
  return out;
}

TEST(FilterPlanTest, EverySingleConditionAdmitsExactlyWhatEvaluationAccepts) {
  auto locked = sample_collection();
  const Collection& c = locked->data;
  for (const FilterCondition& condition : every_condition()) {
    for (bool negated : {false, true}) {
      Filter filter;
      (negated ? filter.must_not : filter.must).push_back(condition);
      SCOPED_TRACE(
          condition.field + " " + std::string(filter_op_name(condition.op)) +
          (condition.value ? " operand index " + std::to_string(condition.value->index()) : "") +
          (negated ? " (must_not)" : ""));
      EXPECT_EQ(admit(c, filter).ids, evaluated(c, filter));
    }
  }
  EXPECT_EQ(admit(c, Filter{}).ids, evaluated(c, Filter{}));  // empty: every live document
}

TEST(FilterPlanTest, RandomCombinationsAgreeAndTheBitmapMatchesTheList) {
  auto locked = sample_collection();
  const Collection& c = locked->data;
  const std::vector<FilterCondition> conditions = every_condition();
  std::mt19937 rng(14);
  for (int round = 0; round < 400; ++round) {
    Filter filter;
    for (int i = static_cast<int>(rng() % 4); i > 0; --i) {
      filter.must.push_back(conditions[rng() % conditions.size()]);
    }
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) {
      filter.must_not.push_back(conditions[rng() % conditions.size()]);
    }
    const AdmittedSet admitted = admit(c, filter);
    const std::vector<uint32_t> expected = evaluated(c, filter);
    ASSERT_EQ(admitted.ids, expected) << "round " << round;
    for (uint32_t id = 0; id < c.internal_to_uuid.size(); ++id) {
      ASSERT_EQ(admitted.contains(id), std::binary_search(expected.begin(), expected.end(), id));
    }
  }
}

TEST(FilterPlanTest, IndexFollowsRebuildAndLoadedCollections) {
  auto owned = sample_collection();
  LockedCollection& locked = *owned;
  Filter libs;
  libs.must.push_back({"a", std::nullopt, JsonValue(std::string("libs")), FilterOp::Eq});
  const std::size_t before = admit(locked.data, libs).size();
  ASSERT_GT(before, 0u);
  rebuild(locked);  // renumbers every internal id
  EXPECT_EQ(admit(locked.data, libs).ids, evaluated(locked.data, libs));
  EXPECT_EQ(admit(locked.data, libs).size(), before);
  // A collection whose index was dropped (as after decoding) is indexed again.
  locked.data.metadata_index.clear();
  rebuild_metadata_index(locked.data);
  EXPECT_EQ(admit(locked.data, libs).size(), before);
  EXPECT_GT(estimate_memory_bytes(locked), 0u);
}

TEST(FilterPlanTest, ExactScanAndWalkFindTheSameTopK) {
  LockedCollection locked(Collection("c", 8, HnswConfig{}));
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  for (int i = 0; i < 2000; ++i) {
    std::vector<float> v(8);
    for (float& x : v) x = normal(rng);
    Document document = Document::create("d", {{"n", MetadataValue(int64_t{i % 10})}});
    ASSERT_TRUE(insert_document(locked, document, v).ok());
  }
  const Collection& c = locked.data;
  Filter tenth;
  tenth.must.push_back({"n", std::nullopt, JsonValue(uint64_t{3}), FilterOp::Eq});
  const AdmittedSet admitted = admit(c, tenth);
  ASSERT_EQ(admitted.size(), 200u);
  for (int q = 0; q < 20; ++q) {
    std::vector<float> query(8);
    for (float& x : query) x = normal(rng);
    // Brute force over every admitted node is the reference.
    const auto exact = knn_exact_among(c.hnsw, query, admitted.ids, 10);
    std::vector<DistanceId> brute;
    for (uint32_t id : admitted.ids) {
      brute.emplace_back(knn_exact_among(c.hnsw, query, std::vector<uint32_t>{id}, 1)[0]);
    }
    sort_by_distance(brute);
    brute.resize(10);
    EXPECT_EQ(exact, brute);
    const auto walked =
        knn_search_filtered(c.hnsw, query, 10, [&](uint32_t id) { return admitted.contains(id); });
    ASSERT_EQ(walked.size(), 10u);
    int overlap = 0;
    for (const auto& hit : walked) {
      overlap += std::count(exact.begin(), exact.end(), hit) > 0 ? 1 : 0;
    }
    EXPECT_GE(overlap, 8);  // the walk is approximate; it finds nearly all of them
  }
  HnswConfig config;
  EXPECT_TRUE(prefer_exact_scan(5, 100000, 10, config));      // fewer than k
  EXPECT_TRUE(prefer_exact_scan(630, 63000, 10, config));     // 1%
  EXPECT_FALSE(prefer_exact_scan(31500, 63000, 10, config));  // half
}

// A range lookup admits values well inside its bounds without checking
// them; values near a bound (rounded integers beyond 2^53, floats a tolerance
// away, the bound itself) must still be decided by the comparison rules.
TEST(FilterPlanTest, RangesAdmitExactlyAcrossTheComparisonMargin) {
  LockedCollection locked(Collection("c", 2, HnswConfig{}));
  std::vector<MetadataValue> values;
  for (int64_t i = -20; i <= 20; ++i) {
    values.emplace_back(i);
    values.emplace_back(static_cast<double>(i) / 4);
    values.emplace_back(kTwo53 + i);
  }
  values.emplace_back(0.1 + 0.2);
  values.emplace_back(0.3 + 0x1p-53);
  values.emplace_back(kInf);
  values.emplace_back(-kInf);
  values.emplace_back(std::numeric_limits<int64_t>::max());
  for (std::size_t i = 0; i < values.size(); ++i) {
    Document document = Document::create("d", {{"n", values[i]}});
    ASSERT_TRUE(insert_document(locked, document, std::vector<float>{1.0f, float(i)}).ok());
  }
  const std::vector<JsonValue> bounds = {JsonValue(int64_t{-3}),
                                         JsonValue(uint64_t{5}),
                                         JsonValue(0.3),
                                         JsonValue(1.25),
                                         JsonValue(-0.0),
                                         JsonValue(kInf),
                                         JsonValue(-kInf),
                                         JsonValue(static_cast<uint64_t>(kTwo53) + 3),
                                         JsonValue(9007199254740994.0),
                                         JsonValue(std::numeric_limits<uint64_t>::max())};
  const Collection& c = locked.data;
  for (FilterOp low : {FilterOp::Gt, FilterOp::Gte}) {
    for (FilterOp high : {FilterOp::Lt, FilterOp::Lte}) {
      for (const JsonValue& a : bounds) {
        for (const JsonValue& b : bounds) {
          Filter filter;
          filter.must.push_back({"n", std::nullopt, a, low});
          filter.must.push_back({"n", std::nullopt, b, high});
          ASSERT_EQ(admit(c, filter).ids, evaluated(c, filter))
              << filter_op_name(low) << " operand " << a.index() << ", " << filter_op_name(high)
              << " operand " << b.index();
          Filter one_sided;
          one_sided.must.push_back({"n", std::nullopt, a, low});
          ASSERT_EQ(admit(c, one_sided).ids, evaluated(c, one_sided));
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessarine
