// Distance kernels: the dispatching functions, and every path against the
// portable reference.
//
// Tolerance policy:
// - Integer-valued inputs (components and decoded codes small integers) keep
//   every partial sum an exact integer below 2^24, so all paths must agree
//   bit for bit (EXPECT_EQ), whatever their summation order.
// - Random real-valued inputs: paths differ only by summation order and
//   precision. Sums must agree within 1e-5 of the sum of absolute terms (a
//   bound on accumulated rounding) plus 1e-6; cosine values (in [-1, 1] per
//   similarity) within 1e-5 absolute.
#include "core/distance/simd.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "core/distance/cpu_features.h"
#include "core/distance/distance.h"
#include "gtest/gtest.h"

namespace tessarine {
namespace {

constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                       DistanceMetric::DotProduct};
// Around the register widths (8 lanes, 16-component blocks, two blocks per
// unrolled iteration) and a few long ones.
constexpr std::size_t kLengths[] = {1,  2,  3,  7,  8,  9,  15,  16,  17,   31,
                                    32, 33, 48, 63, 64, 65, 100, 257, 1000, 1536};

std::vector<float> random_floats(std::mt19937& rng, std::size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = dist(rng);
  return v;
}

std::vector<float> random_integers(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<int> dist(-8, 8);
  std::vector<float> v(n);
  for (auto& x : v) x = static_cast<float>(dist(rng));
  return v;
}

std::vector<uint8_t> random_codes(std::mt19937& rng, std::size_t n, int hi) {
  std::uniform_int_distribution<int> dist(0, hi);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(dist(rng));
  return v;
}

// The sum of absolute terms bounds the rounding any summation order can make.
double magnitude(DistanceMetric metric, const std::vector<float>& a, const std::vector<float>& b) {
  double total = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    total += metric == DistanceMetric::Euclidean ? (double{a[i]} - b[i]) * (double{a[i]} - b[i])
                                                 : std::abs(double{a[i]} * b[i]);
  }
  return total;
}

double tolerance(DistanceMetric metric, double magnitude) {
  return metric == DistanceMetric::Cosine ? 1e-5 : 1e-5 * magnitude + 1e-6;
}

class Avx2PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2/FMA on this machine";
  }
};

TEST_F(Avx2PathTest, ExactKernelsMatchPortableExactlyOnIntegers) {
  std::mt19937 rng(7);
  for (std::size_t n : kLengths) {
    const auto a = random_integers(rng, n);
    const auto b = random_integers(rng, n);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(distance_exact_avx2(metric, a, b), distance_exact_portable(metric, a, b))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

TEST_F(Avx2PathTest, ExactKernelsMatchPortableWithinRounding) {
  std::mt19937 rng(11);
  for (std::size_t n : kLengths) {
    const auto a = random_floats(rng, n, -1.0f, 1.0f);
    const auto b = random_floats(rng, n, -1.0f, 1.0f);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_NEAR(distance_exact_avx2(metric, a, b), distance_exact_portable(metric, a, b),
                  tolerance(metric, magnitude(metric, a, b)))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

TEST_F(Avx2PathTest, AsymmetricKernelsMatchPortableExactlyOnIntegers) {
  std::mt19937 rng(13);
  for (std::size_t n : kLengths) {
    const auto q = random_integers(rng, n);
    const auto codes = random_codes(rng, n, 8);
    const QuantizedView view{codes, -4.0f, 1.0f};  // decodes to integers in [-4, 4]
    const float qn = sum_of_squares(q);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(distance_asym_prenorm_avx2(metric, q, view, qn),
                distance_asym_prenorm_portable(metric, q, view, qn))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

TEST_F(Avx2PathTest, AsymmetricKernelsMatchPortableWithinRounding) {
  std::mt19937 rng(17);
  for (std::size_t n : kLengths) {
    const auto q = random_floats(rng, n, -1.0f, 1.0f);
    const auto codes = random_codes(rng, n, 255);
    const QuantizedView view{codes, -0.9f, 1.8f / 255.0f};
    const auto decoded = view.decode();
    const float qn = sum_of_squares(q);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_NEAR(distance_asym_prenorm_avx2(metric, q, view, qn),
                  distance_asym_prenorm_portable(metric, q, view, qn),
                  tolerance(metric, magnitude(metric, q, decoded)))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

// The AVX-512 family against the portable one, under the same policy.
class Avx512PathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu_has_avx512f()) GTEST_SKIP() << "no AVX-512 on this machine";
  }
};

TEST_F(Avx512PathTest, KernelsMatchPortableExactlyOnIntegers) {
  std::mt19937 rng(29);
  for (std::size_t n : kLengths) {
    const auto a = random_integers(rng, n);
    const auto b = random_integers(rng, n);
    const auto codes = random_codes(rng, n, 8);
    const QuantizedView view{codes, -4.0f, 1.0f};
    const float an = sum_of_squares(a);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_EQ(distance_exact_avx512(metric, a, b), distance_exact_portable(metric, a, b))
          << "n=" << n << " metric=" << int(metric);
      EXPECT_EQ(distance_asym_prenorm_avx512(metric, a, view, an),
                distance_asym_prenorm_portable(metric, a, view, an))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

TEST_F(Avx512PathTest, KernelsMatchPortableWithinRounding) {
  std::mt19937 rng(31);
  for (std::size_t n : kLengths) {
    const auto a = random_floats(rng, n, -1.0f, 1.0f);
    const auto b = random_floats(rng, n, -1.0f, 1.0f);
    const auto codes = random_codes(rng, n, 255);
    const QuantizedView view{codes, -0.9f, 1.8f / 255.0f};
    const auto decoded = view.decode();
    const float an = sum_of_squares(a);
    for (DistanceMetric metric : kMetrics) {
      EXPECT_NEAR(distance_exact_avx512(metric, a, b), distance_exact_portable(metric, a, b),
                  tolerance(metric, magnitude(metric, a, b)))
          << "n=" << n << " metric=" << int(metric);
      EXPECT_NEAR(distance_asym_prenorm_avx512(metric, a, view, an),
                  distance_asym_prenorm_portable(metric, a, view, an),
                  tolerance(metric, magnitude(metric, a, decoded)))
          << "n=" << n << " metric=" << int(metric);
    }
  }
}

// A stored norm summed by a family's norm function turns that family's
// cosine into the known-norm form without changing a bit, zero vectors and
// scale 0 included.
TEST(DistanceTest, KnownNormCosineEqualsTheFullKernelBitForBit) {
  std::mt19937 rng(19);
  for (std::size_t n : kLengths) {
    const auto q = random_floats(rng, n, -1.0f, 1.0f);
    const auto codes = random_codes(rng, n, 255);
    const float qn = sum_of_squares(q);
    for (const QuantizedView& view :
         {QuantizedView{codes, -0.9f, 1.8f / 255.0f}, QuantizedView{codes, 0.0f, 0.0f}}) {
      EXPECT_EQ(cosine_similarity_asym_known_norm(q, view, qn, decoded_norm_sq_portable(view)),
                cosine_similarity_asym_prenorm(q, view, qn))
          << "n=" << n;
      EXPECT_EQ(distance_asym_prenorm(DistanceMetric::Cosine, q, view, qn, decoded_norm_sq(view)),
                distance_asym_prenorm(DistanceMetric::Cosine, q, view, qn))
          << "n=" << n;
#ifdef TESSARINE_HAVE_AVX2_KERNELS
      if (cpu_has_avx2_fma()) {
        EXPECT_EQ(avx2_cosine_asym_known_norm(q, view, qn, avx2_decoded_norm_sq(view)),
                  avx2_cosine_asym_prenorm(q, view, qn))
            << "n=" << n;
      }
      if (cpu_has_avx512f()) {
        EXPECT_EQ(avx512_cosine_asym_known_norm(q, view, qn, avx512_decoded_norm_sq(view)),
                  avx512_cosine_asym_prenorm(q, view, qn))
            << "n=" << n;
      }
#endif
    }
  }
}

TEST(DistanceTest, KnownNormsExactCosineEqualsTheFullKernelBitForBit) {
  std::mt19937 rng(23);
  for (std::size_t n : kLengths) {
    const auto a = random_floats(rng, n, -1.0f, 1.0f);
    const auto b = random_floats(rng, n, -1.0f, 1.0f);
    const std::vector<float> zero(n, 0.0f);
    EXPECT_EQ(cosine_known_norms_portable(a, b, sum_of_squares(a), sum_of_squares(b)),
              cosine_similarity_portable(a, b))
        << "n=" << n;
    for (const auto& y : {b, zero}) {
      EXPECT_EQ(distance_exact(DistanceMetric::Cosine, a, y, exact_norm_sq(a), exact_norm_sq(y)),
                distance_exact(DistanceMetric::Cosine, a, y))
          << "n=" << n;
    }
#ifdef TESSARINE_HAVE_AVX2_KERNELS
    if (cpu_has_avx2_fma()) {
      EXPECT_EQ(avx2_cosine_known_norms_f32(a, b, avx2_norm_sq_f32(a), avx2_norm_sq_f32(b)),
                avx2_cosine_f32(a, b))
          << "n=" << n;
    }
    if (cpu_has_avx512f()) {
      EXPECT_EQ(avx512_cosine_known_norms_f32(a, b, avx512_norm_sq_f32(a), avx512_norm_sq_f32(b)),
                avx512_cosine_f32(a, b))
          << "n=" << n;
    }
#endif
  }
}

// Known answers hold on every path: the dispatcher, the portable loops and
// (where present) AVX2.
using ExactFn = float (*)(DistanceMetric, std::span<const float>, std::span<const float>);
using AsymFn = float (*)(DistanceMetric, std::span<const float>, const QuantizedView&, float);

struct Paths {
  const char* name;
  ExactFn exact;
  AsymFn asym;
};

std::vector<Paths> available_paths() {
  std::vector<Paths> paths = {
      {"dispatch", distance_exact, distance_asym_prenorm},
      {"portable", distance_exact_portable, distance_asym_prenorm_portable}};
  if (cpu_has_avx2_fma())
    paths.push_back({"avx2", distance_exact_avx2, distance_asym_prenorm_avx2});
  if (cpu_has_avx512f())
    paths.push_back({"avx512", distance_exact_avx512, distance_asym_prenorm_avx512});
  return paths;
}

TEST(DistanceTest, KnownExactAnswersOnEveryPath) {
  const std::vector<float> v = {0.3f,  -1.2f, 2.5f, 0.0f, 4.0f,  -0.7f, 1.1f, 9.0f, 0.3f,
                                -1.2f, 2.5f,  0.0f, 4.0f, -0.7f, 1.1f,  9.0f, 3.0f};
  const std::vector<float> zeros(17, 0.0f);
  for (const Paths& p : available_paths()) {
    SCOPED_TRACE(p.name);
    EXPECT_NEAR(p.exact(DistanceMetric::Cosine, v, v), 0.0f, 1e-6f);
    EXPECT_EQ(p.exact(DistanceMetric::Cosine, zeros, zeros), 1.0f);
    EXPECT_EQ(p.exact(DistanceMetric::Cosine, {}, {}), 1.0f);
    EXPECT_EQ(
        p.exact(DistanceMetric::Euclidean, std::vector<float>{0, 0}, std::vector<float>{3, 4}),
        25.0f);
    EXPECT_EQ(
        p.exact(DistanceMetric::DotProduct, std::vector<float>{1, 2}, std::vector<float>{3, 4}),
        -11.0f);
    const std::vector<float> x = {1, 0}, y = {0, 1}, minus_x = {-2, 0};
    EXPECT_EQ(p.exact(DistanceMetric::Cosine, x, y), 1.0f);
    EXPECT_EQ(p.exact(DistanceMetric::Cosine, x, minus_x), 2.0f);
  }
}

TEST(DistanceTest, KnownAsymmetricAnswersOnEveryPath) {
  const std::vector<float> q = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  const std::vector<uint8_t> codes = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const float qn = sum_of_squares(q);
  const QuantizedView same{codes, 1.0f, 1.0f};      // decodes to q itself
  const QuantizedView constant{codes, 2.0f, 0.0f};  // scale 0: the constant vector 2
  for (const Paths& p : available_paths()) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.asym(DistanceMetric::Euclidean, q, same, qn), 0.0f);
    EXPECT_EQ(p.asym(DistanceMetric::DotProduct, q, same, qn), -qn);
    EXPECT_NEAR(p.asym(DistanceMetric::Cosine, q, same, qn), 0.0f, 1e-6f);
    // A query norm below epsilon, or a constant stored vector, is at cosine distance 1.
    EXPECT_EQ(p.asym(DistanceMetric::Cosine, q, same, 0.0f), 1.0f);
    EXPECT_EQ(p.asym(DistanceMetric::Cosine, q, constant, qn), 1.0f);
    // Euclidean and dot product read a scale-0 vector as the constant `min`.
    float sq = 0.0f, dot = 0.0f;
    for (float x : q) {
      sq += (x - 2.0f) * (x - 2.0f);
      dot += 2.0f * x;
    }
    EXPECT_EQ(p.asym(DistanceMetric::Euclidean, q, constant, qn), sq);
    EXPECT_EQ(p.asym(DistanceMetric::DotProduct, q, constant, qn), -dot);
  }
}

TEST(DistanceTest, MismatchedLengthsReadOnlyTheCommonPrefix) {
  const std::vector<float> longer = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  const std::vector<float> shorter = {1, 2};
  const std::vector<uint8_t> codes = {0, 1};
  for (const Paths& p : available_paths()) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.exact(DistanceMetric::DotProduct, longer, shorter), -5.0f);
    EXPECT_EQ(p.exact(DistanceMetric::DotProduct, shorter, longer), -5.0f);
    EXPECT_EQ(p.asym(DistanceMetric::DotProduct, longer, QuantizedView{codes, 1.0f, 1.0f}, 1.0f),
              -5.0f);
  }
}

TEST(DistanceTest, NonFiniteComponentsPropagate) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> a = {1, nan, 3}, b = {1, 2, 3}, c = {inf, 0, 0};
  for (const Paths& p : available_paths()) {
    SCOPED_TRACE(p.name);
    EXPECT_TRUE(std::isnan(p.exact(DistanceMetric::Euclidean, a, b)));
    EXPECT_TRUE(std::isnan(p.exact(DistanceMetric::Cosine, a, b)));
    EXPECT_EQ(p.exact(DistanceMetric::Euclidean, c, b), inf);
  }
}

}  // namespace
}  // namespace tessarine
