// BM25 (k1 = 1.2, b = 0.75) over an InvertedIndex.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/base/top_k.h"
#include "core/bm25/inverted_index.h"

namespace tessarine {

// At most k (doc id, score) pairs, by descending score.
RankedList bm25_search(const InvertedIndex& index, std::string_view query, uint64_t k);

}  // namespace tessarine
