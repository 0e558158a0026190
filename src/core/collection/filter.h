// Metadata filters: conditions on a document's metadata, combined as a list
// that must all hold and a list of which none may hold. Evaluation never
// fails: a condition that cannot apply (absent field, absent operand, values
// of unrelated kinds) is simply false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/collection/document.h"

namespace tessarine {

// A filter operand: null, a boolean, a number (non-negative integers as
// unsigned, negative integers as signed, or a float) or a string.
using JsonValue = std::variant<std::monostate, bool, uint64_t, int64_t, double, std::string>;

// The byte value is the operator's fixed code.
enum class FilterOp : uint8_t {
  Eq = 0,   // "eq"
  Ne = 1,   // "ne"
  Gt = 2,   // "gt"
  Lt = 3,   // "lt"
  Gte = 4,  // "gte"
  Lte = 5,  // "lte"
  In = 6,   // "in"
};

// The operator named by `name` ("eq", "ne", "gt", "lt", "gte", "lte", "in";
// exact, lower case), or nothing.
std::optional<FilterOp> filter_op_from_name(std::string_view name);
// The name of an operator, as filter_op_from_name accepts it.
std::string_view filter_op_name(FilterOp op);

struct FilterCondition {
  std::string field;                             // the metadata key to test
  std::optional<std::vector<JsonValue>> values;  // the candidates of "in"
  std::optional<JsonValue> value;                // the operand of every other operator
  FilterOp op = FilterOp::Eq;
};

// A search without a filter differs from a filter with two empty lists: the
// latter still selects the filtered search strategy, though it admits every
// live document.
struct Filter {
  std::vector<FilterCondition> must;      // every condition must hold
  std::vector<FilterCondition> must_not;  // no condition may hold
};

// Whether a metadata value equals a filter operand. Booleans equal booleans,
// strings equal strings byte for byte, and numbers equal numbers: two
// integers exactly, otherwise as 64-bit floats whose absolute difference is
// below 2^-52. Null equals nothing, nor does a NaN.
bool json_eq(const MetadataValue& m, const JsonValue& v);

// Whether `metadata` satisfies `condition`; false whenever the field is
// absent, whatever the operator.
bool evaluate_condition(const Metadata& metadata, const FilterCondition& condition);

// Whether the document with internal id `internal_id` is live and satisfies
// `filter`. The caller holds the collection's lock (shared is enough).
// (Collection is declared here only: its header includes this one.)
struct Collection;
bool passes_filter(const Collection& collection, uint32_t internal_id, const Filter& filter);

}  // namespace tessarine
