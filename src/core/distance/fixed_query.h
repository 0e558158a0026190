// A float query in fixed point, for its dot products with 8-bit codes on the
// integer dot-product instructions (AVX-512 VNNI).
//
// Each component is rounded to a multiple of unit = 2^(e - 22), where 2^e is
// the power of two just above the largest magnitude, and the integer it
// makes (below 2^22 in magnitude) is split into three signed bytes. The dot
// product with a vector of codes is then exact integer arithmetic: three
// byte-by-byte products per code, summed in 32-bit lanes. Only the rounding
// of the query (at most unit / 2 per component, 2^-23 of the largest) differs
// from the float kernels, well inside the tolerance their summation orders
// already allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/distance/distance.h"
#include "core/distance/quantized_view.h"

namespace tessarine {

class FixedQuery {
 public:
  // Nothing for a query with a non-finite component.
  static std::optional<FixedQuery> from(std::span<const float> query);

  std::size_t size() const { return length_; }
  // The rounded query's sum, and its dot product with `codes` (over the
  // common length), both in units of unit().
  int64_t fixed_sum() const { return fixed_sum_; }
  int64_t dot_codes(std::span<const uint8_t> codes) const;
  double unit() const { return unit_; }

  // The rounded query's dot product with the decoded vector
  // (min + scale * code per component).
  double dot_decoded(const QuantizedView& view) const;

  // The paths behind dot_codes, for tests: the VNNI form only when
  // cpu_has_avx512_vnni() holds. Both are exact, so both give the same sum.
  int64_t dot_codes_portable(std::span<const uint8_t> codes) const;
  int64_t dot_codes_avx512_vnni(std::span<const uint8_t> codes) const;

 private:
  FixedQuery() = default;
  // Component i of plane p (0 most significant) is at p * padded_ + i;
  // the padding up to a multiple of 64 holds zeros.
  const int8_t* plane(std::size_t p) const { return planes_.data() + p * padded_; }
  // Component i in units of unit(), put together from its three bytes.
  int64_t component(std::size_t i) const {
    return int64_t{plane(0)[i]} * 65536 + int64_t{plane(1)[i]} * 256 + plane(2)[i];
  }

  std::vector<int8_t> planes_;
  std::size_t length_ = 0;
  std::size_t padded_ = 0;
  int64_t fixed_sum_ = 0;
  double unit_ = 1.0;
  bool use_vnni_ = false;  // fixed_query_supported(), asked once
};

// Whether the machine has the instructions that make FixedQuery pay off.
bool fixed_query_supported();

// The distance from a fixed-point query to 8-bit codes under the metrics
// that only need the dot product: DotProduct, and Cosine given the query's
// float sum of squares and the stored vector's decoded one (as for
// distance_asym_prenorm). The same epsilon rules as the float kernels.
float distance_fixed(DistanceMetric metric, const FixedQuery& query, const QuantizedView& view,
                     float query_norm_sq, double stored_norm_sq);

}  // namespace tessarine
