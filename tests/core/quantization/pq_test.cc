#include "core/quantization/pq.h"

#include <random>
#include <vector>

#include "gtest/gtest.h"

namespace tessarine {
namespace {

std::vector<float> random_vectors(uint32_t seed, std::size_t n, std::size_t dim) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 1.0f);
  std::vector<float> v(n * dim);
  for (auto& x : v) x = dist(rng);
  return v;
}

TEST(PqTrainTest, RejectsBadShapes) {
  const std::vector<float> eight(8, 1.0f);
  struct Case {
    std::vector<float> data;
    uint64_t dimension, subspaces;
    const char* message;
  };
  const Case cases[] = {
      {eight, 8, 3, "dimension must be divisible by num_subspaces"},
      {{}, 8, 2, "need at least one vector to train PQ"},
      {{1, 2, 3}, 8, 2, "need at least one vector to train PQ"},
      {eight, 8, 0, "num_subspaces must be at least 1"},
      {eight, 0, 1, "dimension must be at least 1"},
  };
  for (const Case& c : cases) {
    const auto book = PqCodebook::train(c.data, c.dimension, c.subspaces);
    ASSERT_FALSE(book.ok()) << c.message;
    EXPECT_EQ(book.status().code(), ErrorCode::kInvalidArgument);
    EXPECT_EQ(book.status().message(), c.message);
  }
}

TEST(PqTrainTest, FewVectorsBecomeTheCentroids) {
  const std::size_t n = 40, dim = 12, subspaces = 4;
  const auto data = random_vectors(1, n, dim);
  const auto book = PqCodebook::train(data, dim, subspaces);
  ASSERT_TRUE(book.ok());
  EXPECT_EQ(book->num_subspaces, subspaces);
  EXPECT_EQ(book->num_centroids, 256u);
  EXPECT_EQ(book->subspace_dim, 3u);
  ASSERT_EQ(book->centroids.size(), subspaces * 256 * 3);
  for (std::size_t s = 0; s < subspaces; ++s) {
    for (std::size_t c = 0; c < 256; ++c) {
      for (std::size_t j = 0; j < 3; ++j) {
        const float expected = c < n ? data[c * dim + s * 3 + j] : 0.0f;
        ASSERT_EQ(book->centroids[(s * 256 + c) * 3 + j], expected);
      }
    }
  }
  // Each training vector encodes to its own index in every subspace.
  const auto codes = book->encode_batch(data, dim);
  ASSERT_EQ(codes.size(), n * subspaces);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t s = 0; s < subspaces; ++s) EXPECT_EQ(codes[i * subspaces + s], i);
  }
}

TEST(PqTrainTest, KMeansIsRepeatableAndReducesError) {
  const std::size_t n = 1000, dim = 8, subspaces = 2;
  const auto data = random_vectors(2, n, dim);
  const auto first = PqCodebook::train(data, dim, subspaces);
  const auto second = PqCodebook::train(data, dim, subspaces);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*first, *second);  // the generator restarts from the process's fixed value

  // Reconstruction error is far below the data's variance (8 per vector).
  const auto codes = first->encode_batch(data, dim);
  double error = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t s = 0; s < subspaces; ++s) {
      const float* centroid = first->centroids.data() + (s * 256 + codes[i * subspaces + s]) * 4;
      for (std::size_t j = 0; j < 4; ++j) {
        const double d = data[i * dim + s * 4 + j] - centroid[j];
        error += d * d;
      }
    }
  }
  EXPECT_LT(error / n, 4.0);
  // encode_batch is the concatenation of encode.
  for (std::size_t i = 0; i < 5; ++i) {
    const auto one = first->encode(std::span<const float>(data).subspan(i * dim, dim));
    EXPECT_EQ(one, std::vector<uint8_t>(codes.begin() + i * 2, codes.begin() + i * 2 + 2));
  }
}

TEST(PqEncodeTest, TiesGoToTheLowerIndex) {
  PqCodebook book;
  book.num_subspaces = 1;
  book.num_centroids = 3;
  book.subspace_dim = 1;
  book.centroids = {5.0f, -1.0f, 1.0f};  // -1 and 1 are equally far from 0
  EXPECT_EQ(book.encode(std::vector<float>{0.0f}), std::vector<uint8_t>{1});
  EXPECT_EQ(book.encode(std::vector<float>{4.0f}), std::vector<uint8_t>{0});
}

TEST(PqTableTest, EntriesFollowTheMetric) {
  const auto data = random_vectors(3, 30, 6);
  const auto book = PqCodebook::train(data, 6, 3);
  ASSERT_TRUE(book.ok());
  const std::vector<float> query = {0.5f, -1.0f, 2.0f, 0.0f, 1.5f, -0.5f};
  const auto euclid = book->build_distance_table(query, DistanceMetric::Euclidean);
  const auto dot = book->build_distance_table(query, DistanceMetric::DotProduct);
  const auto cosine = book->build_distance_table(query, DistanceMetric::Cosine);
  EXPECT_EQ(dot.values, cosine.values);
  ASSERT_EQ(euclid.num_subspaces, 3u);
  ASSERT_EQ(euclid.values.size(), 3u * 256);
  for (std::size_t s = 0; s < 3; ++s) {
    for (std::size_t c = 0; c < 256; ++c) {
      const float* centroid = book->centroids.data() + (s * 256 + c) * 2;
      const float d0 = query[s * 2] - centroid[0], d1 = query[s * 2 + 1] - centroid[1];
      EXPECT_EQ(euclid.values[s * 256 + c], d0 * d0 + d1 * d1);
      EXPECT_EQ(dot.values[s * 256 + c],
                -(query[s * 2] * centroid[0] + query[s * 2 + 1] * centroid[1]));
    }
  }
  // The lookup distance of a vector's own codes is its distance to its reconstruction.
  const auto codes = book->encode(query);
  float expected = 0.0f;
  for (std::size_t s = 0; s < 3; ++s) expected += euclid.values[s * 256 + codes[s]];
  EXPECT_EQ(euclid.lookup(codes.data()), expected);
}

TEST(PqTableTest, ZeroWidthSubspacesGiveSignedZeros) {
  PqCodebook book;
  book.num_subspaces = 2;
  book.num_centroids = 256;
  book.subspace_dim = 0;
  const auto euclid = book.build_distance_table({}, DistanceMetric::Euclidean);
  const auto dot = book.build_distance_table({}, DistanceMetric::DotProduct);
  ASSERT_EQ(euclid.values.size(), 512u);
  EXPECT_FALSE(std::signbit(euclid.values[7]));
  EXPECT_EQ(euclid.values[7], 0.0f);
  EXPECT_TRUE(std::signbit(dot.values[300]));
  EXPECT_EQ(dot.values[300], 0.0f);
}

}  // namespace
}  // namespace tessarine
