#include "core/collection/filter.h"

#include <array>
#include <cmath>
#include <compare>
#include <utility>

#include "core/collection/collection.h"

namespace tessarine {
namespace {

// Numbers are compared with an absolute tolerance of the 64-bit machine
// epsilon, so that 0.1 + 0.2 equals 0.3.
constexpr double kFloatTolerance = 0x1p-52;

// A number from either side of a comparison.
using Number = std::variant<int64_t, uint64_t, double>;

std::optional<Number> metadata_number(const MetadataValue& m) {
  if (const auto* i = std::get_if<int64_t>(&m)) return Number(*i);
  if (const auto* f = std::get_if<double>(&m)) return Number(*f);
  return std::nullopt;
}

std::optional<Number> json_number(const JsonValue& v) {
  if (const auto* u = std::get_if<uint64_t>(&v)) return Number(*u);
  if (const auto* i = std::get_if<int64_t>(&v)) return Number(*i);
  if (const auto* f = std::get_if<double>(&v)) return Number(*f);
  return std::nullopt;
}

double as_double(const Number& n) {
  return std::visit([](auto x) { return static_cast<double>(x); }, n);
}

bool is_integer(const Number& n) { return !std::holds_alternative<double>(n); }

// Two integers compare exactly (converting both to doubles would make 2^53
// and 2^53 + 1 equal); anything involving a float compares as doubles.
std::partial_ordering compare_numbers(const Number& a, const Number& b) {
  if (is_integer(a) && is_integer(b)) {
    return std::visit(
        [](auto x, auto y) -> std::partial_ordering {
          if constexpr (std::is_integral_v<decltype(x)> && std::is_integral_v<decltype(y)>) {
            if (std::cmp_less(x, y)) return std::partial_ordering::less;
            if (std::cmp_greater(x, y)) return std::partial_ordering::greater;
            return std::partial_ordering::equivalent;
          } else {
            return std::partial_ordering::unordered;  // not reached: both are integers
          }
        },
        a, b);
  }
  return as_double(a) <=> as_double(b);
}

bool numbers_equal(const Number& a, const Number& b) {
  if (is_integer(a) && is_integer(b)) return compare_numbers(a, b) == 0;
  const double x = as_double(a);
  const double y = as_double(b);
  // x == y also covers equal infinities, whose difference is NaN; a NaN
  // fails both tests.
  return x == y || std::fabs(x - y) < kFloatTolerance;
}

bool ordered_as(FilterOp op, std::partial_ordering order) {
  switch (op) {
    case FilterOp::Gt:
      return order > 0;
    case FilterOp::Lt:
      return order < 0;
    case FilterOp::Gte:
      return order >= 0;
    case FilterOp::Lte:
      return order <= 0;
    default:
      return false;
  }
}

constexpr std::array<std::string_view, 7> kOpNames = {"eq", "ne", "gt", "lt", "gte", "lte", "in"};

}  // namespace

std::optional<FilterOp> filter_op_from_name(std::string_view name) {
  for (size_t i = 0; i < kOpNames.size(); ++i) {
    if (kOpNames[i] == name) return static_cast<FilterOp>(i);
  }
  return std::nullopt;
}

std::string_view filter_op_name(FilterOp op) {
  const auto index = static_cast<size_t>(op);
  return index < kOpNames.size() ? kOpNames[index] : std::string_view("?");
}

bool json_eq(const MetadataValue& m, const JsonValue& v) {
  if (const auto* b = std::get_if<bool>(&m)) {
    const auto* other = std::get_if<bool>(&v);
    return other != nullptr && *other == *b;
  }
  if (const auto* s = std::get_if<std::string>(&m)) {
    const auto* other = std::get_if<std::string>(&v);
    return other != nullptr && *other == *s;
  }
  const std::optional<Number> a = metadata_number(m);
  const std::optional<Number> b = json_number(v);
  return a && b && numbers_equal(*a, *b);
}

bool evaluate_condition(const Metadata& metadata, const FilterCondition& condition) {
  const auto entry = metadata.find(as_key(condition.field));
  if (entry == metadata.end()) return false;
  const MetadataValue& m = entry->second;

  switch (condition.op) {
    case FilterOp::Eq:
      return condition.value.has_value() && json_eq(m, *condition.value);
    case FilterOp::Ne:
      return condition.value.has_value() && !json_eq(m, *condition.value);
    case FilterOp::Gt:
    case FilterOp::Lt:
    case FilterOp::Gte:
    case FilterOp::Lte: {
      if (!condition.value.has_value()) return false;
      const std::optional<Number> a = metadata_number(m);
      const std::optional<Number> b = json_number(*condition.value);
      return a && b && ordered_as(condition.op, compare_numbers(*a, *b));
    }
    case FilterOp::In:
      if (!condition.values.has_value()) return false;
      for (const JsonValue& candidate : *condition.values) {
        if (json_eq(m, candidate)) return true;
      }
      return false;
  }
  return false;  // an operator byte outside the seven matches nothing
}

bool passes_filter(const Collection& collection, uint32_t internal_id, const Filter& filter) {
  if (internal_id >= collection.internal_to_uuid.size()) return false;
  const auto document = collection.documents.find(collection.internal_to_uuid[internal_id]);
  if (document == collection.documents.end()) return false;
  const Metadata& metadata = document->second->metadata;
  for (const FilterCondition& condition : filter.must) {
    if (!evaluate_condition(metadata, condition)) return false;
  }
  for (const FilterCondition& condition : filter.must_not) {
    if (evaluate_condition(metadata, condition)) return false;
  }
  return true;
}

}  // namespace tessarine
