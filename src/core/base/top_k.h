// Top-k selection shared by BM25 and both fusion functions: a bounded heap
// that evicts the lowest score (and among equal scores the lowest internal
// id), then an unstable sort by descending score.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/base/float_order.h"

namespace tessarine {

// (internal id, score), best first.
using RankedList = std::vector<std::pair<uint32_t, float>>;

namespace top_k_detail {
// True when a ranks below b: a lower score, or an equal score and a lower id.
inline bool ranks_below(const std::pair<uint32_t, float>& a, const std::pair<uint32_t, float>& b) {
  const int32_t ka = total_order_key(a.second);
  const int32_t kb = total_order_key(b.second);
  return ka < kb || (ka == kb && a.first < b.first);
}
}  // namespace top_k_detail

// Walks `entries` (any range of (id, score) pairs) and keeps the best k. The
// heap never holds more than min(k, number of entries) + 1 elements, so a huge
// k costs nothing extra.
template <typename Range>
RankedList select_top_k(const Range& entries, uint64_t k) {
  RankedList heap;
  if (k == 0) return heap;
  const auto greater = [](const auto& a, const auto& b) { return top_k_detail::ranks_below(b, a); };
  for (const auto& [id, score] : entries) {
    // Once the heap is full, an entry below its worst would be evicted at once.
    if (heap.size() == k && top_k_detail::ranks_below({id, score}, heap.front())) continue;
    heap.emplace_back(id, score);
    std::push_heap(heap.begin(), heap.end(), greater);  // min-heap: the worst entry on top
    if (heap.size() > k) {
      std::pop_heap(heap.begin(), heap.end(), greater);
      heap.pop_back();
    }
  }
  std::sort(heap.begin(), heap.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.second) > total_order_key(b.second);
  });
  return heap;
}

}  // namespace tessarine
