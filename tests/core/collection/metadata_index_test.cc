// The metadata index built at once (as after a load) against the same index
// built a document at a time: number lookups must find exactly what a scan of
// the values finds, whatever order the numbers were sorted in.
#include "core/collection/metadata_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace tessarine {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<uint32_t> found(const MetadataIndex& index, std::pair<double, double> interval) {
  MetadataIndex::NumberRange range = index.numbers_between("n", interval, std::nullopt);
  std::vector<uint32_t> ids = std::move(range.certain);
  ids.insert(ids.end(), range.fringe.begin(), range.fringe.end());
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(MetadataIndexTest, NumbersIndexedAtOnceAreFoundLikeNumbersAddedOneByOne) {
  // Signs, both zeros, infinities, NaN (never found), integers beyond 2^53,
  // subnormals, repeats, and a field that some documents hold as a string.
  std::vector<MetadataValue> values = {MetadataValue(-0.0),
                                       MetadataValue(0.0),
                                       MetadataValue(int64_t{0}),
                                       MetadataValue(kInf),
                                       MetadataValue(-kInf),
                                       MetadataValue(std::nan("")),
                                       MetadataValue(1e300),
                                       MetadataValue(-1e300),
                                       MetadataValue(5e-324),
                                       MetadataValue(-5e-324),
                                       MetadataValue(int64_t{1} << 53),
                                       MetadataValue((int64_t{1} << 53) + 1),
                                       MetadataValue(std::numeric_limits<int64_t>::min()),
                                       MetadataValue(std::string("7"))};
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> spread(-1e6, 1e6);
  for (int i = 0; i < 400; ++i) {
    values.push_back(MetadataValue(spread(rng)));
    values.push_back(MetadataValue(static_cast<int64_t>(rng() % 40) - 20));
  }
  std::vector<Metadata> documents(3000);
  std::vector<std::pair<uint32_t, const Metadata*>> in_order;
  MetadataIndex one_by_one;
  for (uint32_t id = 0; id < documents.size(); ++id) {
    documents[id]["n"] = values[rng() % values.size()];
    in_order.emplace_back(id, &documents[id]);
    one_by_one.add(id, documents[id]);
  }
  MetadataIndex at_once;
  at_once.assign(in_order);

  std::vector<std::pair<double, double>> intervals = {
      {-kInf, kInf},  {0.0, 0.0},        {-0.0, -0.0},
      {-kInf, -kInf}, {kInf, kInf},      {-1.0, 1.0},
      {-20, -20},     {-5e-324, 5e-324}, {9007199254740992.0, 9007199254740994.0}};
  for (int i = 0; i < 200; ++i) {
    double a = spread(rng), b = spread(rng);
    if (i % 4 == 0) b = a;  // a single number
    if (i % 5 == 0) a = std::round(a / 1e5) - 3;
    intervals.emplace_back(std::min(a, b), std::max(a, b));
  }
  for (const auto& [low, high] : intervals) {
    std::vector<uint32_t> expected;
    for (uint32_t id = 0; id < documents.size(); ++id) {
      const MetadataValue& value = documents[id].at("n");
      double x;
      if (const auto* i = std::get_if<int64_t>(&value)) {
        x = static_cast<double>(*i);
      } else if (const auto* f = std::get_if<double>(&value)) {
        x = *f;
      } else {
        continue;
      }
      if (low <= x && x <= high) expected.push_back(id);
    }
    SCOPED_TRACE(testing::Message() << "[" << low << ", " << high << "]");
    EXPECT_EQ(found(at_once, {low, high}), expected);
    EXPECT_EQ(found(one_by_one, {low, high}), expected);
  }
}

}  // namespace
}  // namespace tessarine
