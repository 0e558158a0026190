#include "core/collection/metadata_index.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "core/base/prefetch.h"

namespace tessarine {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The filter's float tolerance (numbers closer than this are equal), and a
// relative margin that covers integers beyond 2^53, which compare exactly
// but share a double with their neighbours.
constexpr double kTolerance = 0x1p-52;
constexpr double kRelativeMargin = 0x1p-50;

void insert_sorted(std::vector<uint32_t>& ids, uint32_t id) {
  if (ids.empty() || ids.back() < id) {
    ids.push_back(id);
  } else {
    auto at = std::lower_bound(ids.begin(), ids.end(), id);
    if (at == ids.end() || *at != id) ids.insert(at, id);
  }
}

void erase_sorted(std::vector<uint32_t>& ids, uint32_t id) {
  auto at = std::lower_bound(ids.begin(), ids.end(), id);
  if (at != ids.end() && *at == id) ids.erase(at);
}

std::optional<double> number_of(const MetadataValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<double>(&value)) return *f;
  return std::nullopt;
}

std::optional<double> number_of(const JsonValue& value) {
  if (const auto* u = std::get_if<uint64_t>(&value)) return static_cast<double>(*u);
  if (const auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  if (const auto* f = std::get_if<double>(&value)) return *f;
  return std::nullopt;
}

// A margin around x wide enough for both comparison rules.
double margin(double x) { return std::max(kTolerance, std::fabs(x) * kRelativeMargin) * 2; }

std::vector<uint32_t> sorted_union(std::vector<std::vector<uint32_t>> lists) {
  std::vector<uint32_t> out;
  for (const auto& list : lists) out.insert(out.end(), list.begin(), list.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Reaching a document's metadata takes three dependent cache misses (its
// map, the map's control bytes, its entries), which bound a walk over many
// documents. The walk requests them ahead, one level per stage: the map a
// few documents ahead, its table when the map has arrived.
constexpr std::size_t kMapAhead = 12;
constexpr std::size_t kTableAhead = 6;

void request_metadata_ahead(std::span<const std::pair<uint32_t, const Metadata*>> documents,
                            std::size_t at) {
  if (at + kMapAhead < documents.size()) prefetch_line(documents[at + kMapAhead].second);
  if (at + kTableAhead < documents.size()) {
    request_metadata_entries(*documents[at + kTableAhead].second);
  }
}

// A number's place in the numbers' order as an unsigned integer: negative
// numbers (bits reversed) below the positive ones. The two zeros compare
// equal, so they share a key.
uint64_t order_key(double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x == 0 ? 0.0 : x);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}

// Sorts a field's (number, id) pairs, given in ascending id order and without
// NaN, into the order std::sort gives them, so that each goes in at the end
// of the tree (the tree places an out-of-order pair by searching, only
// slower). A radix sort on the numbers alone keeps equal numbers in their
// ascending ids; a byte that every key shares takes no pass.
void sort_numbers(std::vector<std::pair<double, uint32_t>>& numbers) {
  constexpr std::size_t kRadixFrom = 256;  // below this, comparisons are as quick
  if (numbers.size() < kRadixFrom) {
    std::sort(numbers.begin(), numbers.end());
    return;
  }
  struct Keyed {
    uint64_t key;
    std::pair<double, uint32_t> entry;
  };
  std::vector<Keyed> items(numbers.size()), spare(numbers.size());
  std::array<std::array<uint32_t, 256>, 8> counts{};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    items[i] = {order_key(numbers[i].first), numbers[i]};
    for (int byte = 0; byte < 8; ++byte) ++counts[byte][(items[i].key >> (8 * byte)) & 0xFF];
  }
  for (int byte = 0; byte < 8; ++byte) {
    std::array<uint32_t, 256>& starts = counts[byte];
    if (std::ranges::find(starts, static_cast<uint32_t>(items.size())) != starts.end()) continue;
    uint32_t start = 0;
    for (uint32_t& count : starts) start += std::exchange(count, start);
    for (const Keyed& item : items) spare[starts[(item.key >> (8 * byte)) & 0xFF]++] = item;
    items.swap(spare);
  }
  for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = items[i].entry;
}

}  // namespace

void MetadataIndex::add(uint32_t id, const Metadata& metadata) {
  for (const auto& [name, value] : metadata) {
    FieldIndex& field = fields_[name];
    insert_sorted(field.present, id);
    if (const auto* s = std::get_if<std::string>(&value)) {
      auto [entry, inserted] = field.strings.try_emplace(*s);
      if (inserted) field.string_bytes += s->size();
      insert_sorted(entry->second, id);
    } else if (const auto* b = std::get_if<bool>(&value)) {
      insert_sorted(*b ? field.trues : field.falses, id);
    } else if (auto number = number_of(value); number && !std::isnan(*number)) {
      field.numbers.emplace(*number, id);
    }
  }
}

void MetadataIndex::assign(std::span<const std::pair<uint32_t, const Metadata*>> documents) {
  struct Building {
    FieldIndex field;
    std::vector<std::pair<double, uint32_t>> numbers;
  };
  HashMap<std::string, Building> building;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    request_metadata_ahead(documents, i);
    const auto& [id, metadata] = documents[i];
    for (const auto& [name, value] : *metadata) {
      Building& b = building[name];
      b.field.present.push_back(id);
      if (const auto* s = std::get_if<std::string>(&value)) {
        auto [entry, inserted] = b.field.strings.try_emplace(*s);
        if (inserted) b.field.string_bytes += s->size();
        entry->second.push_back(id);
      } else if (const auto* flag = std::get_if<bool>(&value)) {
        (*flag ? b.field.trues : b.field.falses).push_back(id);
      } else if (auto number = number_of(value); number && !std::isnan(*number)) {
        b.numbers.emplace_back(*number, id);
      }
    }
  }
  fields_.clear();
  fields_.reserve(building.size());
  for (auto& [name, b] : building) {
    sort_numbers(b.numbers);
    // Sorted input goes in at the end of the tree, without searching it.
    b.field.numbers.insert(b.numbers.begin(), b.numbers.end());
    fields_.emplace(name, std::move(b.field));
  }
}

void MetadataIndex::remove(uint32_t id, const Metadata& metadata) {
  for (const auto& [name, value] : metadata) {
    auto found = fields_.find(name);
    if (found == fields_.end()) continue;
    FieldIndex& field = found->second;
    erase_sorted(field.present, id);
    if (const auto* s = std::get_if<std::string>(&value)) {
      if (auto entry = field.strings.find(*s); entry != field.strings.end()) {
        erase_sorted(entry->second, id);
        if (entry->second.empty()) {
          field.string_bytes -= s->size();
          field.strings.erase(entry);
        }
      }
    } else if (const auto* b = std::get_if<bool>(&value)) {
      erase_sorted(*b ? field.trues : field.falses, id);
    } else if (auto number = number_of(value); number && !std::isnan(*number)) {
      field.numbers.erase({*number, id});
    }
    if (field.present.empty()) fields_.erase(found);
  }
}

std::vector<uint32_t> MetadataIndex::number_range(const FieldIndex& field, double low,
                                                  double high) {
  std::vector<uint32_t> out;
  for (auto it = field.numbers.lower_bound({low, 0});
       it != field.numbers.end() && it->first <= high; ++it) {
    out.push_back(it->second);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint32_t> MetadataIndex::equal_candidates(const FieldIndex& field,
                                                      const JsonValue& value) const {
  if (const auto* s = std::get_if<std::string>(&value)) {
    auto entry = field.strings.find(*s);
    return entry == field.strings.end() ? std::vector<uint32_t>{} : entry->second;
  }
  if (const auto* b = std::get_if<bool>(&value)) return *b ? field.trues : field.falses;
  const std::optional<double> number = number_of(value);
  if (!number || std::isnan(*number)) return {};  // null and NaN equal nothing
  if (std::isinf(*number)) return number_range(field, *number, *number);
  return number_range(field, *number - margin(*number), *number + margin(*number));
}

std::optional<std::vector<uint32_t>> MetadataIndex::candidates(
    const FilterCondition& condition) const {
  auto found = fields_.find(condition.field);
  if (found == fields_.end()) return std::vector<uint32_t>{};  // no document has the field
  const FieldIndex& field = found->second;
  switch (condition.op) {
    case FilterOp::Eq:
      if (!condition.value) return std::vector<uint32_t>{};
      return equal_candidates(field, *condition.value);
    case FilterOp::In: {
      if (!condition.values) return std::vector<uint32_t>{};
      std::vector<std::vector<uint32_t>> lists;
      for (const JsonValue& value : *condition.values) {
        lists.push_back(equal_candidates(field, value));
      }
      return sorted_union(std::move(lists));
    }
    case FilterOp::Ne:
      if (!condition.value) return std::vector<uint32_t>{};
      return field.present;
    case FilterOp::Gt:
    case FilterOp::Gte:
    case FilterOp::Lt:
    case FilterOp::Lte: {
      const auto interval = candidate_interval(condition);
      if (!interval) return std::vector<uint32_t>{};  // no number operand: nothing matches
      return number_range(field, interval->first, interval->second);
    }
  }
  return std::nullopt;
}

bool MetadataIndex::answers_exactly(const FilterCondition& condition) const {
  if (!fields_.contains(condition.field)) return true;
  const auto exact_operand = [](const JsonValue& value) {
    return std::holds_alternative<std::string>(value) || std::holds_alternative<bool>(value);
  };
  switch (condition.op) {
    case FilterOp::Eq:
      return !condition.value || exact_operand(*condition.value);
    case FilterOp::In:
      return !condition.values ||
             std::all_of(condition.values->begin(), condition.values->end(), exact_operand);
    default:
      return false;
  }
}

namespace {

// A range condition's operand as a double and the side it bounds; nothing
// for other operators, a missing or non-number operand, or NaN.
struct RangeBound {
  double value;
  bool lower;  // gt / gte: values above pass; lt / lte: values below
};

std::optional<RangeBound> range_bound(const FilterCondition& condition) {
  const bool lower = condition.op == FilterOp::Gt || condition.op == FilterOp::Gte;
  const bool upper = condition.op == FilterOp::Lt || condition.op == FilterOp::Lte;
  if (!lower && !upper) return std::nullopt;
  const std::optional<double> bound = condition.value ? number_of(*condition.value) : std::nullopt;
  if (!bound || std::isnan(*bound)) return std::nullopt;
  return RangeBound{*bound, lower};
}

// The values past `by` beyond the bound on its passing side (by < 0: short
// of it).
std::pair<double, double> beyond(const RangeBound& bound, double by) {
  if (bound.lower) return std::pair(bound.value + by, kInfinity);
  return std::pair(-kInfinity, bound.value - by);
}

}  // namespace

std::optional<std::pair<double, double>> MetadataIndex::candidate_interval(
    const FilterCondition& condition) {
  const std::optional<RangeBound> bound = range_bound(condition);
  if (!bound) return std::nullopt;
  return beyond(*bound, std::isinf(bound->value) ? 0.0 : -margin(bound->value));
}

std::optional<std::pair<double, double>> MetadataIndex::certain_interval(
    const FilterCondition& condition) {
  const std::optional<RangeBound> bound = range_bound(condition);
  if (!bound || std::isinf(bound->value)) return std::nullopt;
  // A stored double is within half a margin of the value it stands for, so
  // one a whole margin past the bound is on the passing side.
  return beyond(*bound, margin(bound->value));
}

MetadataIndex::NumberRange MetadataIndex::numbers_between(
    const std::string& field, std::pair<double, double> candidates,
    std::optional<std::pair<double, double>> certain) const {
  NumberRange out;
  auto found = fields_.find(field);
  const auto [low, high] = candidates;
  if (found == fields_.end() || low > high) return out;
  const auto& numbers = found->second.numbers;
  for (auto it = numbers.lower_bound({low, 0}); it != numbers.end() && it->first <= high; ++it) {
    const bool sure = certain && it->first >= certain->first && it->first <= certain->second;
    (sure ? out.certain : out.fringe).push_back(it->second);
  }
  return out;
}

uint64_t MetadataIndex::memory_bytes() const {
  uint64_t bytes = 0;
  for (const auto& [name, field] : fields_) {
    bytes += name.size() + sizeof(FieldIndex);
    bytes += 4 * (field.present.size() + field.trues.size() + field.falses.size());
    for (const auto& [value, ids] : field.strings) bytes += 4 * ids.size() + 32;
    bytes += field.string_bytes;
    // A b-tree node holds many (double, id) pairs; 1.5 x the payload is a fair estimate.
    bytes += field.numbers.size() * 12 * 3 / 2;
  }
  return bytes;
}

}  // namespace tessarine
