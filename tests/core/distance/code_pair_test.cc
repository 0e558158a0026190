// Integer sums over codes, and distances between two stored vectors computed
// from them, against decoding both vectors and measuring the floats.
#include "core/distance/code_pair.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/distance/cpu_features.h"
#include "core/quantization/scalar.h"
#include "gtest/gtest.h"
#include "random_codes.h"

namespace tessarine {
namespace {

using testing::random_codes;

// Every path is exact, so all must equal the portable sum, on lengths around
// the register widths, on long vectors whose lanes are emptied part-way, and
// on all-255 codes, the largest products.
TEST(CodeDotTest, EveryPathGivesTheExactSum) {
  std::mt19937 rng(11);
  for (std::size_t n : {0,   1,   15,  16,  17,  31,  32,  63,   64,    65,   127,
                        128, 129, 191, 192, 255, 256, 384, 1000, 16384, 40001}) {
    for (bool saturated : {false, true}) {
      const auto a = saturated ? std::vector<uint8_t>(n, 255) : random_codes(rng, n);
      const auto b = saturated ? std::vector<uint8_t>(n, 255) : random_codes(rng, n);
      uint64_t expected = 0;
      for (std::size_t i = 0; i < n; ++i) expected += uint64_t{a[i]} * b[i];
      SCOPED_TRACE(::testing::Message() << "n " << n << (saturated ? " all 255" : " random"));
      EXPECT_EQ(code_dot_portable(a, b), expected);
      EXPECT_EQ(code_dot(a, b), expected);
      if (cpu_has_avx2_fma()) {
        EXPECT_EQ(code_dot_avx2(a, b), expected);
      }
      if (cpu_has_avx512_vnni()) {
        EXPECT_EQ(code_dot_avx512_vnni(a, b), expected);
      }
    }
  }
}

TEST(CodeDotTest, SumsCoverEveryCode) {
  const std::vector<uint8_t> codes = {0, 1, 2, 255};
  const CodeSums sums = code_sums(codes);
  EXPECT_EQ(sums.sum, 258u);
  EXPECT_EQ(sums.sum_sq, 1u + 4u + 65025u);
}

std::vector<float> random_vector(std::mt19937& rng, std::size_t n, float spread, float offset) {
  std::normal_distribution<float> normal(offset, spread);
  std::vector<float> v(n);
  for (auto& x : v) x = normal(rng);
  return v;
}

// The same distance as the exact kernels on the decoded floats, within their
// rounding: pairs of ordinary vectors, vectors far from the origin, constant
// vectors (scale 0) and the zero vector.
TEST(CodePairTest, MatchesTheExactDistanceOfTheDecodedVectors) {
  std::mt19937 rng(3);
  std::vector<std::vector<float>> vectors;
  for (std::size_t n : {1, 7, 384}) {
    vectors.clear();
    vectors.push_back(random_vector(rng, n, 1.0f, 0.0f));
    vectors.push_back(random_vector(rng, n, 0.05f, 0.0f));
    vectors.push_back(random_vector(rng, n, 1.0f, 40.0f));
    vectors.push_back(std::vector<float>(n, 0.5f));
    vectors.push_back(std::vector<float>(n, 0.0f));
    for (const auto& x : vectors) {
      for (const auto& y : vectors) {
        const QuantizedVector qx = QuantizedVector::quantize(x);
        const QuantizedVector qy = QuantizedVector::quantize(y);
        const std::vector<float> dx = qx.view().decode();
        const std::vector<float> dy = qy.view().decode();
        for (DistanceMetric metric :
             {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
          const double exact = distance_exact_portable(metric, dx, dy);
          double magnitude = 0.0;
          for (std::size_t i = 0; i < n; ++i) {
            const double d = double{dx[i]} - dy[i];
            magnitude +=
                metric == DistanceMetric::Euclidean ? d * d : std::abs(double{dx[i]} * dy[i]);
          }
          const double tolerance =
              metric == DistanceMetric::Cosine ? 1e-5 : 1e-5 * magnitude + 1e-6;
          EXPECT_NEAR(distance_between_codes(metric, CodedVector::of(qx.view()),
                                             CodedVector::of(qy.view())),
                      exact, tolerance)
              << "n " << n << " metric " << static_cast<int>(metric);
        }
      }
    }
  }
}

TEST(CodePairTest, SameCodesMeansTheSameDecodedVector) {
  std::mt19937 rng(5);
  const auto v = random_vector(rng, 64, 1.0f, 0.0f);
  const QuantizedVector a = QuantizedVector::quantize(v);
  const QuantizedVector copy = QuantizedVector::quantize(v);
  QuantizedVector shifted = copy;
  shifted.min += 1.0f;  // same codes, another decoded vector
  QuantizedVector one_code = copy;
  one_code.codes[63] ^= 1;
  const auto coded = [](const QuantizedVector& q) { return CodedVector::of(q.view()); };
  EXPECT_TRUE(same_codes(coded(a), coded(copy)));
  EXPECT_FALSE(same_codes(coded(a), coded(shifted)));
  EXPECT_FALSE(same_codes(coded(a), coded(one_code)));
  EXPECT_EQ(distance_between_codes(DistanceMetric::Euclidean, coded(a), coded(copy)), 0.0f);
}

}  // namespace
}  // namespace tessarine
