#include "core/collection/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/collection/collection.h"

namespace tessarine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct EqCase {
  const char* name;
  MetadataValue m;
  JsonValue v;
  bool equal;
};

TEST(JsonEqTest, FollowsTheKindAndToleranceRules) {
  const std::vector<EqCase> cases = {
      {"bool equal", true, true, true},
      {"bool differs", true, false, false},
      {"bool vs unsigned 1", true, uint64_t{1}, false},
      {"bool vs null", false, std::monostate{}, false},
      {"int vs unsigned", int64_t{3}, uint64_t{3}, true},
      {"int vs signed", int64_t{-3}, int64_t{-3}, true},
      {"int vs float", int64_t{3}, 3.0, true},
      {"int vs float off by 0.5", int64_t{3}, 3.5, false},
      {"int vs string", int64_t{3}, std::string("3"), false},
      {"int vs bool", int64_t{1}, true, false},
      {"int vs null", int64_t{0}, std::monostate{}, false},
      {"int vs unsigned beyond i64", std::numeric_limits<int64_t>::max(), uint64_t{1} << 63, false},
      {"int max vs unsigned max i64", std::numeric_limits<int64_t>::max(),
       uint64_t{std::numeric_limits<int64_t>::max()}, true},
      {"large ints one apart", int64_t{1} << 53, uint64_t{(uint64_t{1} << 53) + 1}, false},
      {"large int vs same float", int64_t{1} << 53, 9007199254740992.0, true},
      {"float 0.1 + 0.2 vs 0.3", 0.1 + 0.2, 0.3, true},
      {"float vs unsigned", 1.0, uint64_t{1}, true},
      {"float vs signed", -2.0, int64_t{-2}, true},
      {"float vs unsigned max", 18446744073709551616.0, std::numeric_limits<uint64_t>::max(), true},
      {"float differing by 2^-52", 1.0, 1.0 + 0x1p-52, false},
      {"large floats one step apart", 1e20, std::nextafter(1e20, 2e20), false},
      {"tiny floats within tolerance", 1e-17, 2e-17, true},
      {"float NaN vs NaN", kNaN, kNaN, false},
      {"float vs NaN operand", 1.0, kNaN, false},
      {"float infinity vs infinity", kInf, kInf, true},
      {"float infinity vs negative infinity", kInf, -kInf, false},
      {"float vs string", 1.0, std::string("1"), false},
      {"string equal", std::string("a"), std::string("a"), true},
      {"string prefix", std::string("ab"), std::string("a"), false},
      {"string with NUL", std::string("a\0b", 3), std::string("a\0c", 3), false},
      {"empty strings", std::string(), std::string(), true},
      {"string vs null", std::string(), std::monostate{}, false},
  };
  for (const EqCase& c : cases) {
    EXPECT_EQ(json_eq(c.m, c.v), c.equal) << c.name;
  }
}

FilterCondition condition(std::string field, FilterOp op, std::optional<JsonValue> value) {
  return {std::move(field), std::nullopt, std::move(value), op};
}

FilterCondition in_condition(std::string field, std::optional<std::vector<JsonValue>> values) {
  return {std::move(field), std::move(values), std::nullopt, FilterOp::In};
}

struct ConditionCase {
  const char* name;
  MetadataValue m;  // stored under "f"
  FilterCondition condition;
  bool holds;
};

TEST(EvaluateConditionTest, OperatorTable) {
  const std::vector<ConditionCase> cases = {
      {"eq match", int64_t{5}, condition("f", FilterOp::Eq, uint64_t{5}), true},
      {"eq no operand", int64_t{5}, condition("f", FilterOp::Eq, std::nullopt), false},
      {"ne differs", int64_t{5}, condition("f", FilterOp::Ne, uint64_t{6}), true},
      {"ne equal", int64_t{5}, condition("f", FilterOp::Ne, 5.0), false},
      {"ne null holds when field present", std::string("x"),
       condition("f", FilterOp::Ne, JsonValue{}), true},
      {"ne no operand", int64_t{5}, condition("f", FilterOp::Ne, std::nullopt), false},
      {"gt 10.5 > 10", 10.5, condition("f", FilterOp::Gt, uint64_t{10}), true},
      {"gt 10 > 10", int64_t{10}, condition("f", FilterOp::Gt, uint64_t{10}), false},
      {"gt string metadata", std::string("10"), condition("f", FilterOp::Gt, uint64_t{1}), false},
      {"gt bool metadata", true, condition("f", FilterOp::Gt, int64_t{0}), false},
      {"gt string operand", int64_t{10}, condition("f", FilterOp::Gt, std::string("1")), false},
      {"gt null operand", int64_t{10}, condition("f", FilterOp::Gt, JsonValue{}), false},
      {"gt no operand", int64_t{10}, condition("f", FilterOp::Gt, std::nullopt), false},
      {"gt negative operand", int64_t{-1}, condition("f", FilterOp::Gt, int64_t{-2}), true},
      {"gt large ints exactly", (int64_t{1} << 53) + 1,
       condition("f", FilterOp::Gt, uint64_t{1} << 53), true},
      {"lt int vs unsigned beyond i64", std::numeric_limits<int64_t>::max(),
       condition("f", FilterOp::Lt, std::numeric_limits<uint64_t>::max()), true},
      {"lt", 1.5, condition("f", FilterOp::Lt, 2.0), true},
      {"lt equal", 2.0, condition("f", FilterOp::Lt, 2.0), false},
      {"gte int 5 vs 5", int64_t{5}, condition("f", FilterOp::Gte, uint64_t{5}), true},
      {"gte float 5.0 vs 5", 5.0, condition("f", FilterOp::Gte, uint64_t{5}), true},
      {"gt float 5.0 vs 5", 5.0, condition("f", FilterOp::Gt, uint64_t{5}), false},
      {"lte", int64_t{4}, condition("f", FilterOp::Lte, 4.0), true},
      {"lte greater", int64_t{5}, condition("f", FilterOp::Lte, 4.5), false},
      {"gte NaN metadata", kNaN, condition("f", FilterOp::Gte, 0.0), false},
      {"lte NaN metadata", kNaN, condition("f", FilterOp::Lte, 0.0), false},
      {"lt NaN operand", 1.0, condition("f", FilterOp::Lt, kNaN), false},
      {"in string", std::string("a"),
       in_condition("f", std::vector<JsonValue>{std::string("a"), uint64_t{1}, true}), true},
      {"in int", int64_t{1},
       in_condition("f", std::vector<JsonValue>{std::string("a"), uint64_t{1}, true}), true},
      {"in float", 1.0,
       in_condition("f", std::vector<JsonValue>{std::string("a"), uint64_t{1}, true}), true},
      {"in bool", true,
       in_condition("f", std::vector<JsonValue>{std::string("a"), uint64_t{1}, true}), true},
      {"in no match", std::string("b"),
       in_condition("f", std::vector<JsonValue>{std::string("a"), uint64_t{1}, true}), false},
      {"in empty list", std::string("a"), in_condition("f", std::vector<JsonValue>{}), false},
      {"in absent list", std::string("a"), in_condition("f", std::nullopt), false},
      {"in ignores value",
       std::string("a"),
       {"f", std::nullopt, JsonValue(std::string("a")), FilterOp::In},
       false},
      {"eq ignores values",
       std::string("a"),
       {"f", std::vector<JsonValue>{std::string("a")}, std::nullopt, FilterOp::Eq},
       false},
      {"unknown operator byte",
       int64_t{1},
       {"f", std::nullopt, JsonValue(uint64_t{1}), static_cast<FilterOp>(7)},
       false},
  };
  for (const ConditionCase& c : cases) {
    Metadata metadata;
    metadata["f"] = c.m;
    metadata["other"] = int64_t{0};
    EXPECT_EQ(evaluate_condition(metadata, c.condition), c.holds) << c.name;
  }
}

TEST(EvaluateConditionTest, AbsentFieldIsFalseForEveryOperator) {
  Metadata metadata;
  metadata["present"] = int64_t{1};
  for (int op = 0; op <= 6; ++op) {
    FilterCondition c{"missing", std::vector<JsonValue>{uint64_t{2}}, JsonValue(uint64_t{2}),
                      static_cast<FilterOp>(op)};
    EXPECT_FALSE(evaluate_condition(metadata, c)) << "op " << op;
    EXPECT_FALSE(evaluate_condition(Metadata{}, c)) << "empty metadata, op " << op;
  }
}

TEST(FilterOpTest, NamesRoundTrip) {
  const char* names[] = {"eq", "ne", "gt", "lt", "gte", "lte", "in"};
  for (int i = 0; i < 7; ++i) {
    const auto op = filter_op_from_name(names[i]);
    ASSERT_TRUE(op.has_value()) << names[i];
    EXPECT_EQ(static_cast<int>(*op), i);
    EXPECT_EQ(filter_op_name(*op), names[i]);
  }
  EXPECT_FALSE(filter_op_from_name("EQ").has_value());
  EXPECT_FALSE(filter_op_from_name("").has_value());
  EXPECT_FALSE(filter_op_from_name("eq ").has_value());
}

// A collection holding only documents and id tables: enough for the filter
// test, which reads nothing else.
class PassesFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    add({{"price", 10.5}});                                              // 0
    add({{"price", int64_t{10}}});                                       // 1
    add({{"price", std::string("10")}});                                 // 2
    add({});                                                             // 3: no metadata
    add({{"price", int64_t{20}}, {"status", std::string("archived")}});  // 4
    add({{"price", int64_t{30}}});                                       // 5: deleted below
    collection_.documents.erase(collection_.internal_to_uuid[5]);
  }

  void add(Metadata metadata) {
    Document d = Document::create("text", std::move(metadata));
    const auto id = static_cast<uint32_t>(collection_.internal_to_uuid.size());
    collection_.uuid_to_internal[d.id] = id;
    collection_.internal_to_uuid.push_back(d.id);
    collection_.documents[d.id] = std::make_shared<const Document>(std::move(d));
  }

  std::vector<uint32_t> passing(const Filter& filter) const {
    std::vector<uint32_t> ids;
    for (uint32_t id = 0; id < 8; ++id) {
      if (passes_filter(collection_, id, filter)) ids.push_back(id);
    }
    return ids;
  }

  Collection collection_;
};

TEST_F(PassesFilterTest, EmptyFilterAdmitsEveryLiveDocument) {
  EXPECT_EQ(passing(Filter{}), (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST_F(PassesFilterTest, MustNeedsEveryCondition) {
  Filter gt10{{condition("price", FilterOp::Gt, uint64_t{10})}, {}};
  EXPECT_EQ(passing(gt10), (std::vector<uint32_t>{0, 4}));

  Filter range{{condition("price", FilterOp::Gt, uint64_t{10}),
                condition("price", FilterOp::Lt, uint64_t{15})},
               {}};
  EXPECT_EQ(passing(range), (std::vector<uint32_t>{0}));
}

TEST_F(PassesFilterTest, MustNotAdmitsDocumentsWithoutTheField) {
  Filter not_archived{{}, {condition("status", FilterOp::Eq, std::string("archived"))}};
  EXPECT_EQ(passing(not_archived), (std::vector<uint32_t>{0, 1, 2, 3}));

  Filter both{{condition("price", FilterOp::Gte, uint64_t{10})},
              {condition("status", FilterOp::Eq, std::string("archived"))}};
  EXPECT_EQ(passing(both), (std::vector<uint32_t>{0, 1}));
}

TEST_F(PassesFilterTest, StaleIdsFail) {
  const Uuid orphan = generate_uuid_v4();  // an id-table slot with no stored document
  collection_.uuid_to_internal[orphan] = 6;
  collection_.internal_to_uuid.push_back(orphan);
  EXPECT_FALSE(passes_filter(collection_, 5, Filter{}));  // deleted
  EXPECT_FALSE(passes_filter(collection_, 6, Filter{}));  // never stored
  EXPECT_FALSE(passes_filter(collection_, 7, Filter{}));  // beyond the table
  EXPECT_FALSE(passes_filter(collection_, std::numeric_limits<uint32_t>::max(), Filter{}));
}

}  // namespace
}  // namespace tessarine
