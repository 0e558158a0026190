#include "core/collection/hybrid.h"

#include <limits>

#include "core/base/hash_map.h"

namespace tessarine {
namespace {

using Accumulator = HashMap<uint32_t, float>;

// Sized for the inputs, never for k: k may be far larger than anything found.
Accumulator make_accumulator(const RankedList& vector, const RankedList& keyword) {
  Accumulator fused;
  fused.reserve(vector.size() + keyword.size());
  return fused;
}

void add_reciprocal_ranks(const RankedList& list, Accumulator& fused) {
  for (size_t i = 0; i < list.size(); ++i) {
    const float rank = (static_cast<float>(i) + 60.0f) + 1.0f;
    fused[list[i].first] += 1.0f / rank;
  }
}

void add_normalised_scores(const RankedList& list, float weight, Accumulator& fused) {
  if (list.empty()) return;
  // Starting from the extreme finite floats, a NaN score never becomes the
  // minimum or the maximum.
  float min = std::numeric_limits<float>::max();
  float max = -std::numeric_limits<float>::max();
  for (const auto& [id, score] : list) {
    if (score < min) min = score;
    if (score > max) max = score;
  }
  const float range = max - min;
  const bool flat = range < std::numeric_limits<float>::epsilon();
  for (const auto& [id, score] : list) {
    const float normalised = flat ? 1.0f : (score - min) / range;
    fused[id] += normalised * weight;
  }
}

}  // namespace

RankedList rrf_fusion(const RankedList& vector, const RankedList& keyword, uint64_t k) {
  Accumulator fused = make_accumulator(vector, keyword);
  add_reciprocal_ranks(vector, fused);
  add_reciprocal_ranks(keyword, fused);
  return select_top_k(fused, k);
}

RankedList linear_fusion(const RankedList& vector, const RankedList& keyword, uint64_t k,
                         float alpha) {
  Accumulator fused = make_accumulator(vector, keyword);
  add_normalised_scores(vector, alpha, fused);
  add_normalised_scores(keyword, 1.0f - alpha, fused);
  return select_top_k(fused, k);
}

}  // namespace tessarine
