// The fixed-point query: its integer dot products with codes in every path,
// and its distances against the float kernels.
#include "core/distance/fixed_query.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/distance/cpu_features.h"
#include "core/distance/simd.h"
#include "gtest/gtest.h"
#include "random_codes.h"

namespace tessarine {
namespace {

using testing::random_codes;

std::vector<float> random_floats(std::mt19937& rng, std::size_t n) {
  std::normal_distribution<float> dist(0.0f, 0.05f);
  std::vector<float> v(n);
  for (auto& x : v) x = dist(rng);
  return v;
}

// Both paths are exact integer sums: they must agree on every length (around
// the 64- and 128-code steps and past the blocks whose lanes are emptied),
// and on the largest products, where 32-bit sums would overflow.
TEST(FixedQueryTest, EveryPathGivesTheSameSum) {
  std::mt19937 rng(3);
  for (std::size_t n : {0, 1, 63, 64, 65, 127, 128, 129, 383, 384, 2047, 2048, 2049, 5000}) {
    for (bool extreme : {false, true}) {
      // Extreme: every component at the largest magnitude, alternating in
      // sign, against all-255 codes.
      std::vector<float> query = random_floats(rng, n);
      std::vector<uint8_t> codes = random_codes(rng, n);
      if (extreme) {
        for (std::size_t i = 0; i < n; ++i) query[i] = i % 3 == 0 ? -0.999f : 0.999f;
        codes.assign(n, 255);
      }
      const auto fixed = FixedQuery::from(query);
      ASSERT_TRUE(fixed.has_value());
      SCOPED_TRACE(::testing::Message() << "n " << n << (extreme ? " extreme" : " random"));
      const int64_t expected = fixed->dot_codes_portable(codes);
      EXPECT_EQ(fixed->dot_codes(codes), expected);
      if (cpu_has_avx512_vnni()) {
        EXPECT_EQ(fixed->dot_codes_avx512_vnni(codes), expected);
      }
      // Over all-one codes, the sum of the rounded components.
      EXPECT_EQ(fixed->dot_codes_portable(std::vector<uint8_t>(n, 1)), fixed->fixed_sum());
    }
  }
}

// Rounding the query moves each component by at most half a unit, and the
// unit is 2^-22 of a power of two above the largest component.
TEST(FixedQueryTest, DotProductIsTheRoundedQuerysWithinHalfAUnitPerCode) {
  std::mt19937 rng(5);
  for (std::size_t n : {1, 17, 384, 1536}) {
    const auto query = random_floats(rng, n);
    const auto codes = random_codes(rng, n);
    const QuantizedView view{codes, -0.21f, 0.42f / 255.0f};
    const auto fixed = FixedQuery::from(query);
    ASSERT_TRUE(fixed.has_value());
    double exact = 0.0, bound = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double decoded = double{view.min} + double{view.scale} * codes[i];
      exact += double{query[i]} * decoded;
      bound += std::fabs(decoded) * fixed->unit() / 2;
    }
    EXPECT_NEAR(fixed->dot_decoded(view), exact, bound + 1e-12) << "n " << n;
    float largest = 0.0f;
    for (float x : query) largest = std::max(largest, std::fabs(x));
    EXPECT_LE(fixed->unit(), largest * 0x1p-21) << "n " << n;
  }
}

// Against the float kernels: integer inputs give the same distance bit for
// bit (every sum is exact in both), and real-valued ones agree within the
// tolerance the float kernels allow each other (simd_test.cc).
TEST(FixedQueryTest, DistancesAgreeWithTheFloatKernels) {
  std::mt19937 rng(9);
  for (std::size_t n : {3, 64, 100, 384, 1000}) {
    std::uniform_int_distribution<int> small(-8, 8);
    std::vector<float> integers(n);
    for (auto& x : integers) x = static_cast<float>(small(rng));
    std::vector<uint8_t> small_codes(n);
    for (auto& c : small_codes) c = static_cast<uint8_t>(rng() % 9);
    const QuantizedView integer_view{small_codes, -4.0f, 1.0f};
    const auto fixed_integers = FixedQuery::from(integers);
    ASSERT_TRUE(fixed_integers.has_value());
    EXPECT_EQ(distance_fixed(DistanceMetric::DotProduct, *fixed_integers, integer_view,
                             sum_of_squares(integers), decoded_norm_sq(integer_view)),
              distance_asym_prenorm_portable(DistanceMetric::DotProduct, integers, integer_view,
                                             sum_of_squares(integers)))
        << "n " << n;

    const auto query = random_floats(rng, n);
    const auto codes = random_codes(rng, n);
    const QuantizedView view{codes, -0.2f, 0.4f / 255.0f};
    const auto fixed = FixedQuery::from(query);
    ASSERT_TRUE(fixed.has_value());
    const float norm = sum_of_squares(query);
    double magnitude = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      magnitude += std::fabs(double{query[i]} * (view.min + view.scale * codes[i]));
    }
    EXPECT_NEAR(
        distance_fixed(DistanceMetric::DotProduct, *fixed, view, norm, decoded_norm_sq(view)),
        distance_asym_prenorm_portable(DistanceMetric::DotProduct, query, view, norm),
        1e-5 * magnitude + 1e-6)
        << "n " << n;
    EXPECT_NEAR(distance_fixed(DistanceMetric::Cosine, *fixed, view, norm, decoded_norm_sq(view)),
                distance_asym_prenorm_portable(DistanceMetric::Cosine, query, view, norm), 1e-5)
        << "n " << n;
  }
}

TEST(FixedQueryTest, EdgeQueries) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(FixedQuery::from(std::vector<float>{1.0f, nan}).has_value());
  EXPECT_FALSE(FixedQuery::from(std::vector<float>{-inf, 1.0f}).has_value());

  const std::vector<uint8_t> codes = {0, 128, 255};
  const QuantizedView view{codes, -1.0f, 2.0f / 255.0f};
  const auto zero = FixedQuery::from(std::vector<float>(3, 0.0f));
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(zero->dot_decoded(view), 0.0);
  // A zero query's cosine is 0, as in the float kernels; so is a constant
  // stored vector's.
  EXPECT_EQ(distance_fixed(DistanceMetric::Cosine, *zero, view, 0.0f, decoded_norm_sq(view)), 1.0f);
  const auto tiny = FixedQuery::from(std::vector<float>{1e-30f, -3e-31f, 0.0f});
  ASSERT_TRUE(tiny.has_value());
  EXPECT_NEAR(tiny->dot_decoded(view), 1e-30 * -1.0 + -3e-31 * (-1.0 + 2.0 * 128 / 255), 1e-36);
  // Codes shorter than the query: only the common length counts.
  const auto query = FixedQuery::from(std::vector<float>{0.5f, 0.25f, 1.0f, 2.0f});
  ASSERT_TRUE(query.has_value());
  EXPECT_NEAR(query->dot_decoded(view), 0.5 * -1.0 + 0.25 * (-1.0 + 256.0 / 255) + 1.0, 1e-6);
}

}  // namespace
}  // namespace tessarine
