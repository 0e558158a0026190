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
  const MetadataIndex& index = c.metadata_index;
  // The index holds live documents only; the tombstone test guards the
  // lists that are taken as they are.
  const auto live = [&](uint32_t id) {
    return id < slots && id < c.hnsw.node_count && !c.hnsw.is_deleted(id);
  };

  // Documents that some must_not condition holds for, found through the
  // index; candidates of an inexact lookup are checked one by one.
  std::vector<uint64_t> excluded(out.bits.size(), 0);
  std::vector<const FilterCondition*> unindexed_must_not;
  for (const FilterCondition& condition : filter.must_not) {
    std::optional<std::vector<uint32_t>> candidates = index.candidates(condition);
    if (!candidates) {
      unindexed_must_not.push_back(&condition);
      continue;
    }
    const bool exact = index.answers_exactly(condition);
    for (uint32_t id : *candidates) {
      if (!live(id)) continue;
      const Document* document = exact ? nullptr : live_document(c, id);
      if (exact || (document != nullptr && evaluate_condition(document->metadata, condition))) {
        set_bit(excluded, id);
      }
    }
  }

  // The smallest candidate list of the must conditions bounds the work.
  // Range conditions on one field (800 <= size < 865) are looked up as one
  // interval: either bound alone may hold for most of the collection.
  std::optional<std::vector<uint32_t>> base;
  const FilterCondition* base_condition = nullptr;  // when one condition gave `base`
  const auto offer = [&](std::optional<std::vector<uint32_t>> candidates,
                         const FilterCondition* from) {
    if (candidates && (!base || candidates->size() < base->size())) {
      base = std::move(candidates);
      base_condition = from;
    }
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
    offer(index.candidates(condition), &condition);
  }
  for (const auto& [field, interval] : intervals) {
    if (base && base->empty()) break;
    offer(index.numbers_between(field, interval.first, interval.second), nullptr);
  }

  // The conditions each candidate is still checked against: all of them,
  // but the one whose exact list the candidates are.
  const bool base_is_exact = base_condition != nullptr && index.answers_exactly(*base_condition);
  std::vector<const FilterCondition*> to_check;
  for (const FilterCondition& condition : filter.must) {
    if (!(base_is_exact && &condition == base_condition)) to_check.push_back(&condition);
  }
  const auto admit_id = [&](uint32_t id) {
    out.ids.push_back(id);
    set_bit(out.bits, id);
  };
  const auto consider = [&](uint32_t id, const Document& document) {
    if (test_bit(excluded, id)) return;
    for (const FilterCondition* condition : to_check) {
      if (!evaluate_condition(document.metadata, *condition)) return;
    }
    for (const FilterCondition* condition : unindexed_must_not) {
      if (evaluate_condition(document.metadata, *condition)) return;
    }
    admit_id(id);
  };
  if (base && to_check.empty() && unindexed_must_not.empty()) {
    // The list is the answer: no document needs to be looked at.
    for (uint32_t id : *base) {
      if (live(id) && !test_bit(excluded, id)) admit_id(id);
    }
  } else if (base) {
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
