// Distances between two stored scalar-quantized vectors, from their codes.
// Component i decodes to min + code[i] * scale, so every sum over decoded
// components follows from the integer sums of the codes (exact) and the two
// vectors' min and scale, combined in double precision. A comparison of two
// stored vectors is then one pass over bytes instead of decoding both.
#pragma once

#include "core/distance/code_dot.h"
#include "core/distance/distance.h"
#include "core/distance/quantized_view.h"

namespace tessarine {

// What a comparison needs of a stored vector besides its codes, derived from
// its code sums once: scale * sum(codes), and the decoded sum of squares and
// its square root and that root's inverse (0 for a zero norm).
struct CodeStats {
  double scaled_sum = 0.0;
  double norm_sq = 0.0;
  double norm = 0.0;
  double inverse_norm = 0.0;
};
CodeStats code_stats_of(const QuantizedView& view);

struct CodedVector {
  QuantizedView view;
  CodeStats stats;

  static CodedVector of(const QuantizedView& view) { return {view, code_stats_of(view)}; }
};

// The distance between the two decoded vectors, as distance_exact defines it
// (cosine of a vector with a sum of squares below epsilon is 1). It differs
// from distance_exact on the decoded floats only by their rounding.
float distance_between_codes(DistanceMetric metric, const CodedVector& a, const CodedVector& b);

// Whether the two decode to the same vector: equal min, scale and codes
// (operands of equal lengths).
bool same_codes(const CodedVector& a, const CodedVector& b);

}  // namespace tessarine
