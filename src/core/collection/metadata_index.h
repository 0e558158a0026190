// Indexes over the metadata of a collection's live documents, one per field
// name, kept for every field automatically: strings and booleans by value,
// numbers in a sorted structure, and the ids that have the field at all.
// Every id list is sorted ascending (internal ids), so lists intersect in
// linear time and a filter's matches come out in insertion order.
//
// The index answers with candidates: a superset of the documents that can
// satisfy a condition (numbers are looked up in a range widened to cover the
// exact integer rules and the float tolerance of the filter's comparisons).
// The filter planner (filter_plan.h) checks each candidate with the filter
// itself, so results are exactly what evaluating the filter document by
// document gives, at a cost proportional to the candidates.
//
// Not thread-safe on its own: it lives inside a Collection and follows the
// collection's lock.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "absl/container/btree_set.h"
#include "core/base/hash_map.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"

namespace tessarine {

class MetadataIndex {
 public:
  // Adds a document's fields under its internal id. Ids are added in
  // ascending order (the collection hands them out that way); a smaller id
  // is inserted in place.
  void add(uint32_t id, const Metadata& metadata);
  // Removes a document's fields (the same metadata it was added with).
  void remove(uint32_t id, const Metadata& metadata);
  void clear() { fields_.clear(); }
  // Replaces the whole index by one of `documents` (id, metadata), given in
  // ascending id order: what add() for each builds, with every list appended
  // in order and the numbers sorted once instead of inserted one by one.
  void assign(std::span<const std::pair<uint32_t, const Metadata*>> documents);

  // The sorted candidate ids for one condition, or nothing when the index
  // cannot narrow it down (then every live document is a candidate).
  std::optional<std::vector<uint32_t>> candidates(const FilterCondition& condition) const;

  // True when candidates(condition) are exactly the live documents the
  // condition holds for, so that checking them again is redundant: equality
  // and `in` with string and boolean operands (byte and value equality, no
  // tolerance), and any condition on a field no document has.
  bool answers_exactly(const FilterCondition& condition) const;

  // For a range condition (gt, gte, lt, lte) with a number operand: the
  // closed interval of doubles its candidates lie in, widened to cover the
  // comparison rules. Several range conditions on one field intersect their
  // intervals, and numbers_between() looks the intersection up once.
  static std::optional<std::pair<double, double>> candidate_interval(
      const FilterCondition& condition);
  // The closed interval of stored doubles that pass the range condition for
  // sure: inside its bound by more than the comparison margin. Nothing when
  // no stored value can be said to pass without a check (an infinite bound).
  static std::optional<std::pair<double, double>> certain_interval(
      const FilterCondition& condition);

  // A field's ids with a number in a candidate interval, split by whether
  // the number lies in the certain interval too; unordered.
  struct NumberRange {
    std::vector<uint32_t> certain;  // pass the conditions the intervals came from
    std::vector<uint32_t> fringe;   // near a bound: still to be checked
    std::size_t size() const { return certain.size() + fringe.size(); }
  };
  NumberRange numbers_between(const std::string& field, std::pair<double, double> candidates,
                              std::optional<std::pair<double, double>> certain) const;

  // Approximate bytes held.
  uint64_t memory_bytes() const;

 private:
  struct FieldIndex {
    HashMap<std::string, std::vector<uint32_t>> strings;
    std::vector<uint32_t> trues;
    std::vector<uint32_t> falses;
    absl::btree_set<std::pair<double, uint32_t>> numbers;  // NaN values are left out
    std::vector<uint32_t> present;                         // every id that has the field
    uint64_t string_bytes = 0;                             // the string keys' lengths
  };

  // The ids equal to one operand (before checking).
  std::vector<uint32_t> equal_candidates(const FieldIndex& field, const JsonValue& value) const;
  // The ids with a number in [low, high].
  static std::vector<uint32_t> number_range(const FieldIndex& field, double low, double high);

  HashMap<std::string, FieldIndex> fields_;
};

}  // namespace tessarine
