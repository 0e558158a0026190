#include "core/quantization/scalar.h"

#include <cmath>
#include <limits>
#include <vector>

#include "gtest/gtest.h"

namespace tessarine {
namespace {

using Codes = std::vector<uint8_t>;

TEST(QuantizeTest, KnownVectors) {
  const auto unit = QuantizedVector::quantize(std::vector<float>{0.0f, 1.0f});
  EXPECT_EQ(unit.codes, (Codes{0, 255}));
  EXPECT_EQ(unit.min, 0.0f);
  EXPECT_EQ(unit.max, 1.0f);
  EXPECT_EQ(unit.scale, 1.0f / 255.0f);

  const auto constant = QuantizedVector::quantize(std::vector<float>{5.0f, 5.0f, 5.0f});
  EXPECT_EQ(constant.codes, (Codes{128, 128, 128}));
  EXPECT_EQ(constant.scale, 0.0f);
  EXPECT_EQ(constant.min, 5.0f);
  EXPECT_EQ(constant.view().decode(), (std::vector<float>{5.0f, 5.0f, 5.0f}));

  const auto empty = QuantizedVector::quantize({});
  EXPECT_TRUE(empty.codes.empty());
  EXPECT_EQ(empty.min, 0.0f);
  EXPECT_EQ(empty.max, 0.0f);
  EXPECT_EQ(empty.scale, 0.0f);
}

TEST(QuantizeTest, HalvesRoundAwayFromZeroButNotJustBelow) {
  // min 0 and max 255 make t equal to the component itself.
  const std::vector<float> v = {0.0f, 255.0f, 2.5f, 2.4999998f, 0.5f, 0.49999997f, 254.5f};
  EXPECT_EQ(QuantizedVector::quantize(v).codes, (Codes{0, 255, 3, 2, 1, 0, 255}));
}

TEST(QuantizeTest, RangeBelowEpsilonIsConstant) {
  const auto q = QuantizedVector::quantize(std::vector<float>{1.0f, 1.0f + 1.1920929e-7f});
  EXPECT_EQ(q.codes, (Codes{0, 255}));  // exactly epsilon apart is not constant
  const auto tiny = QuantizedVector::quantize(std::vector<float>{1e-9f, 2e-9f});
  EXPECT_EQ(tiny.codes, (Codes{128, 128}));
  EXPECT_EQ(tiny.scale, 0.0f);
}

TEST(QuantizeTest, DecodeIsWithinHalfAStep) {
  std::vector<float> v;
  for (int i = 0; i < 100; ++i) v.push_back(std::sin(0.37f * i) * 3.0f);
  const auto q = QuantizedVector::quantize(v);
  const auto decoded = q.view().decode();
  ASSERT_EQ(decoded.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    EXPECT_NEAR(decoded[i], v[i], q.scale * 0.5f + 1e-6f) << i;
  }
}

// Non-finite components must never reach a float-to-integer conversion.
TEST(QuantizeTest, NonFiniteComponentsAreSafe) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float big = std::numeric_limits<float>::max();

  const auto with_nan = QuantizedVector::quantize(std::vector<float>{0.0f, nan, 1.0f});
  EXPECT_EQ(with_nan.codes, (Codes{0, 0, 255}));  // NaN skipped by the scan, code 0
  EXPECT_EQ(with_nan.min, 0.0f);
  EXPECT_EQ(with_nan.max, 1.0f);

  const auto all_nan = QuantizedVector::quantize(std::vector<float>{nan, nan});
  EXPECT_EQ(all_nan.codes, (Codes{128, 128}));
  EXPECT_EQ(all_nan.scale, 0.0f);

  const auto infinite = QuantizedVector::quantize(std::vector<float>{-inf, 0.0f, inf});
  EXPECT_EQ(infinite.codes.size(), 3u);

  // Finite extremes whose range overflows f32 still get meaningful codes and
  // a finite step.
  const auto wide = QuantizedVector::quantize(std::vector<float>{-big, 0.0f, big});
  EXPECT_EQ(wide.codes, (Codes{0, 128, 255}));
  EXPECT_TRUE(std::isfinite(wide.scale));
}

}  // namespace
}  // namespace tessarine
