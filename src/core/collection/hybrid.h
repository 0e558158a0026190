// Fusion of a vector ranked list and a keyword ranked list into one list of
// at most k (internal id, fused score) pairs, best first. Both functions work
// on internal ids only; turning ids into documents is the caller's business.
#pragma once

#include <cstdint>

#include "core/base/top_k.h"

namespace tessarine {

// Reciprocal rank fusion with k_rrf = 60: the entry at 0-based position i of
// either list adds 1 / (i + 61) to its id; the lists' own scores are ignored.
RankedList rrf_fusion(const RankedList& vector, const RankedList& keyword, uint64_t k);

// Weighted sum of min-max-normalised scores: each list's scores are mapped to
// [0, 1] (all to 1 when the list's range is below the float epsilon), vector
// scores weighted by alpha and keyword scores by 1 - alpha. alpha is used as
// given, without clamping. An id missing from a list gets no term from it.
RankedList linear_fusion(const RankedList& vector, const RankedList& keyword, uint64_t k,
                         float alpha);

}  // namespace tessarine
