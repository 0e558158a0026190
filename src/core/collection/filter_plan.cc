#include "core/collection/filter_plan.h"

#include <algorithm>
#include <optional>

#include "core/collection/collection_ops.h"

namespace tessarine {
namespace {

void set_bit(std::vector<uint64_t>& bits, uint32_t id) {
  bits[id >> 6] |= uint64_t{1} << (id & 63);
}

bool test_bit(const std::vector<uint64_t>& bits, uint32_t id) {
  return ((bits[id >> 6] >> (id & 63)) & 1) != 0;
}

// The live document holding internal id `id`, or nullptr.
const Document* live_document(const Collection& c, uint32_t id) {
  if (id >= c.internal_to_uuid.size()) return nullptr;
  auto it = c.documents.find(c.internal_to_uuid[id]);
  return it == c.documents.end() ? nullptr : it->second.get();
}

}  // namespace

AdmittedSet admit(const Collection& c, const Filter& filter) {
  const std::size_t slots = c.internal_to_uuid.size();
  AdmittedSet out;
  out.bits.assign((slots + 63) / 64, 0);

  // Documents that some must_not condition holds for, found through the
  // index and checked one by one.
  std::vector<uint64_t> excluded(out.bits.size(), 0);
  std::vector<const FilterCondition*> unindexed_must_not;
  for (const FilterCondition& condition : filter.must_not) {
    std::optional<std::vector<uint32_t>> candidates = c.metadata_index.candidates(condition);
    if (!candidates) {
      unindexed_must_not.push_back(&condition);
      continue;
    }
    for (uint32_t id : *candidates) {
      const Document* document = live_document(c, id);
      if (document != nullptr && evaluate_condition(document->metadata, condition)) {
        set_bit(excluded, id);
      }
    }
  }

  // The smallest candidate list of the must conditions bounds the work.
  // Range conditions on one field (800 <= size < 865) are looked up as one
  // interval: either bound alone may hold for most of the collection.
  std::optional<std::vector<uint32_t>> base;
  const auto offer = [&](std::optional<std::vector<uint32_t>> candidates) {
    if (candidates && (!base || candidates->size() < base->size())) base = std::move(candidates);
  };
  HashMap<std::string, std::pair<double, double>> intervals;
  for (const FilterCondition& condition : filter.must) {
    if (base && base->empty()) break;
    if (auto interval = MetadataIndex::candidate_interval(condition)) {
      auto [it, inserted] = intervals.try_emplace(condition.field, *interval);
      it->second.first = std::max(it->second.first, interval->first);
      it->second.second = std::min(it->second.second, interval->second);
      continue;
    }
    offer(c.metadata_index.candidates(condition));
  }
  for (const auto& [field, interval] : intervals) {
    if (base && base->empty()) break;
    offer(c.metadata_index.numbers_between(field, interval.first, interval.second));
  }

  const auto consider = [&](uint32_t id, const Document& document) {
    if (test_bit(excluded, id)) return;
    for (const FilterCondition& condition : filter.must) {
      if (!evaluate_condition(document.metadata, condition)) return;
    }
    for (const FilterCondition* condition : unindexed_must_not) {
      if (evaluate_condition(document.metadata, *condition)) return;
    }
    out.ids.push_back(id);
    set_bit(out.bits, id);
  };
  if (base) {
    for (uint32_t id : *base) {
      if (const Document* document = live_document(c, id)) consider(id, *document);
    }
  } else {
    for_each_live_document(c, [&](uint32_t id, const std::shared_ptr<const Document>& document) {
      consider(id, *document);
    });
  }
  return out;
}

bool prefer_exact_scan(uint64_t admitted, uint64_t live, uint64_t k, const HnswConfig& config) {
  if (admitted <= k || live == 0) return true;
  const double fraction = static_cast<double>(admitted) / static_cast<double>(live);
  const double beam = static_cast<double>(std::max(config.ef_search, k));
  const double walk =
      std::min(static_cast<double>(live), beam * static_cast<double>(config.m_max0) / fraction);
  return static_cast<double>(admitted) <= walk;
}

}  // namespace tessarine
