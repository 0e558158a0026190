#include "core/distance/fixed_query.h"

#include <algorithm>
#include <cmath>

#include "core/distance/cpu_features.h"
#include "core/distance/simd_constants.h"
#include "core/distance/x86_intrinsics.h"

namespace tessarine {
namespace {

constexpr int kPlanes = 3;
constexpr int kFixedBits = 22;  // magnitudes stay below 2^22
constexpr std::size_t kChunk = 64;

// The signed byte x mod 256 lies nearest to zero of, in [-128, 127].
int8_t low_byte(int32_t x) { return static_cast<int8_t>(((x + 128) & 255) - 128); }

}  // namespace

std::optional<FixedQuery> FixedQuery::from(std::span<const float> query) {
  float largest = 0.0f;
  for (float x : query) {
    if (!std::isfinite(x)) return std::nullopt;
    largest = std::max(largest, std::fabs(x));
  }
  FixedQuery fixed;
  fixed.length_ = query.size();
  fixed.padded_ = (query.size() + kChunk - 1) / kChunk * kChunk;
  fixed.planes_.assign(kPlanes * fixed.padded_, 0);
  int exponent = 0;
  if (largest > 0.0f) std::frexp(largest, &exponent);  // largest < 2^exponent
  fixed.unit_ = std::ldexp(1.0, exponent - kFixedBits);
  fixed.use_vnni_ = fixed_query_supported();
  const double to_units = std::ldexp(1.0, kFixedBits - exponent);
  for (std::size_t i = 0; i < query.size(); ++i) {
    // Exact in double, below 2^22 in magnitude; rounded half away from zero.
    const double scaled = double{query[i]} * to_units;
    const auto x = static_cast<int32_t>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
    fixed.fixed_sum_ += x;
    // x = high * 2^16 + middle * 2^8 + low, each a signed byte (|high| <= 65).
    const int8_t low = low_byte(x);
    const int32_t rest = (x - low) / 256;
    const int8_t middle = low_byte(rest);
    const auto high = static_cast<int8_t>((rest - middle) / 256);
    fixed.planes_[i] = high;
    fixed.planes_[fixed.padded_ + i] = middle;
    fixed.planes_[2 * fixed.padded_ + i] = low;
  }
  return fixed;
}

int64_t FixedQuery::dot_codes_portable(std::span<const uint8_t> codes) const {
  const std::size_t n = std::min(length_, codes.size());
  int64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    total += component(i) * codes[i];
  }
  return total;
}

#ifdef TESSARINE_X86_INTRINSICS

// Two chunks of 64 codes per step, in two sets of accumulators, so that each
// accumulator's chain of dependent instructions is half as long. The lanes
// are emptied into the 64-bit total every kBlock codes: the block's 32 chunks
// add at most 32 * 4 * 255 * 128 to a lane, so the 16 lanes of a plane add up
// below 2^31.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) int64_t FixedQuery::dot_codes_avx512_vnni(
    std::span<const uint8_t> codes) const {
  constexpr std::size_t kBlock = 2048;
  const std::size_t n = std::min(length_, codes.size());
  int64_t total = 0;
  for (std::size_t block = 0; block < n; block += kBlock) {
    const std::size_t end = std::min(n, block + kBlock);
    __m512i high[2] = {}, middle[2] = {}, low[2] = {};
    std::size_t i = block;
    const auto step = [&](int set, __m512i x, std::size_t at)
        __attribute__((target("avx512f,avx512bw,avx512vnni"))) {
      high[set] = _mm512_dpbusd_epi32(high[set], x, _mm512_loadu_si512(plane(0) + at));
      middle[set] = _mm512_dpbusd_epi32(middle[set], x, _mm512_loadu_si512(plane(1) + at));
      low[set] = _mm512_dpbusd_epi32(low[set], x, _mm512_loadu_si512(plane(2) + at));
    };
    for (; i + 2 * kChunk <= end; i += 2 * kChunk) {
      step(0, _mm512_loadu_si512(codes.data() + i), i);
      step(1, _mm512_loadu_si512(codes.data() + i + kChunk), i + kChunk);
    }
    for (; i < end; i += kChunk) {
      // The planes are zero beyond the query, so only the codes need a mask.
      const __mmask64 mask = end - i >= kChunk ? ~__mmask64{0} : (__mmask64{1} << (end - i)) - 1;
      step(0, _mm512_maskz_loadu_epi8(mask, codes.data() + i), i);
    }
    total += int64_t{_mm512_reduce_add_epi32(_mm512_add_epi32(high[0], high[1]))} * 65536 +
             int64_t{_mm512_reduce_add_epi32(_mm512_add_epi32(middle[0], middle[1]))} * 256 +
             _mm512_reduce_add_epi32(_mm512_add_epi32(low[0], low[1]));
  }
  return total;
}

#else

int64_t FixedQuery::dot_codes_avx512_vnni(std::span<const uint8_t> codes) const {
  return dot_codes_portable(codes);
}

#endif

bool fixed_query_supported() {
#ifdef TESSARINE_X86_INTRINSICS
  return cpu_has_avx512_vnni();
#else
  return false;
#endif
}

int64_t FixedQuery::dot_codes(std::span<const uint8_t> codes) const {
  return use_vnni_ ? dot_codes_avx512_vnni(codes) : dot_codes_portable(codes);
}

double FixedQuery::dot_decoded(const QuantizedView& view) const {
  int64_t fixed_sum = fixed_sum_;
  if (view.codes.size() < length_) {  // only the common length counts
    fixed_sum = 0;
    for (std::size_t i = 0; i < view.codes.size(); ++i) {
      fixed_sum += component(i);
    }
  }
  // Both integers are far below 2^53, so only the two products round.
  const auto sum = static_cast<double>(fixed_sum);
  const auto dot = static_cast<double>(dot_codes(view.codes));
  return (double{view.min} * sum + double{view.scale} * dot) * unit_;
}

float distance_fixed(DistanceMetric metric, const FixedQuery& query, const QuantizedView& view,
                     float query_norm_sq, double stored_norm_sq) {
  if (metric == DistanceMetric::DotProduct) return -static_cast<float>(query.dot_decoded(view));
  if (kCosineEpsilonF > query_norm_sq || view.scale == 0.0f) return 1.0f;
  return 1.0f - cosine_asym_from_sums(query.dot_decoded(view), stored_norm_sq, query_norm_sq);
}

}  // namespace tessarine
