// A small, fully consistent collection built field by field (three nodes on
// two layers, one tombstone, a product-quantization codebook, floats that
// must survive bit for bit), and a field-by-field comparison that treats
// floats by their bit patterns.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/collection/collection.h"

namespace tessarine::testing {

inline Uuid uuid_with(uint8_t last) {
  Uuid id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<uint8_t>(0x10 * i + last);
  return id;
}

inline float float_from_bits(uint32_t bits) { return std::bit_cast<float>(bits); }

inline std::vector<uint32_t> float_bits(const std::vector<float>& v) {
  std::vector<uint32_t> out;
  for (float f : v) out.push_back(std::bit_cast<uint32_t>(f));
  return out;
}

// Dimension 4, three nodes (node 2 deleted), levels {1, 0, 0}, entry point 0.
inline Collection sample_collection(std::string name = "docs", bool store_raw_vectors = true) {
  constexpr uint32_t kNodes = 3;
  constexpr uint64_t kDim = 4;
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  config.distance_metric = DistanceMetric::DotProduct;
  config.pq_subspaces = 2;
  config.store_raw_vectors = store_raw_vectors;
  Collection c(std::move(name), kDim, config);

  HnswIndex& h = c.hnsw;
  for (uint32_t i = 0; i < kNodes * kDim; ++i) {
    h.vector_data.push_back(static_cast<uint8_t>(i * 21));
  }
  h.vector_min = {-1.5f, -0.0f, float_from_bits(0x7fc00001)};  // a NaN with a payload
  h.vector_scale = {0.25f, std::numeric_limits<float>::infinity(), 1e-30f};
  if (store_raw_vectors) {
    for (uint32_t i = 0; i < kNodes * kDim; ++i) h.raw_vectors.push_back(0.5f * i - 2.0f);
    h.raw_vectors[3] = -0.0f;
    h.raw_vectors[5] = std::numeric_limits<float>::quiet_NaN();
  }
  h.neighbors = Adjacency::from_lists({{{1, 2}, {}}, {{0}}, {{0, 1}}}, config.m_max0, config.m);
  h.layers = {1, 0, 0};
  h.deleted = {0, 0, 1};
  PqCodebook codebook;
  codebook.num_subspaces = 2;
  codebook.num_centroids = 256;
  codebook.subspace_dim = 2;
  for (uint32_t i = 0; i < 2 * 256 * 2; ++i) codebook.centroids.push_back(0.001f * i);
  h.pq_codebook = codebook;
  h.pq_codes = {1, 2, 3, 4, 5, 6};
  h.entry_point = 0;
  h.max_level = 1;
  h.node_count = kNodes;

  // Node 2's document was deleted: it keeps its id-table slots only.
  for (uint8_t i = 0; i < kNodes; ++i) {
    const Uuid id = uuid_with(i);
    c.internal_to_uuid.push_back(id);
    c.uuid_to_internal[id] = i;
  }
  Document first{uuid_with(0), "red apples", {}};
  first.metadata["flag"] = true;
  first.metadata["count"] = int64_t{-9'000'000'000'000};
  first.metadata["nan"] = std::bit_cast<double>(uint64_t{0x7ff8000000000123});
  first.metadata["negzero"] = -0.0;
  first.metadata["city"] = std::string("Zürich");
  Document second{uuid_with(1), "", {}};
  c.documents[first.id] = std::make_shared<const Document>(std::move(first));
  c.documents[second.id] = std::make_shared<const Document>(std::move(second));

  c.inverted_index.postings["red"] = {{0, 1}};
  c.inverted_index.postings["apples"] = {{0, 1}};
  c.inverted_index.doc_lengths = {2, 0, 0};
  c.inverted_index.doc_count = 3;
  c.inverted_index.total_length = 2;
  return c;
}

inline void expect_same_document(const Document& a, const Document& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.text, b.text);
  ASSERT_EQ(a.metadata.size(), b.metadata.size());
  for (const auto& [key, value] : a.metadata) {
    auto it = b.metadata.find(key);
    ASSERT_NE(it, b.metadata.end()) << key;
    ASSERT_EQ(value.index(), it->second.index()) << key;
    if (value.index() == kFloat) {
      EXPECT_EQ(std::bit_cast<uint64_t>(std::get<kFloat>(value)),
                std::bit_cast<uint64_t>(std::get<kFloat>(it->second)))
          << key;
    } else {
      EXPECT_EQ(value, it->second) << key;
    }
  }
}

inline void expect_same_collection(const Collection& a, const Collection& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.dimension, b.dimension);
  ASSERT_EQ(a.documents.size(), b.documents.size());
  for (const auto& [id, document] : a.documents) {
    auto it = b.documents.find(id);
    ASSERT_NE(it, b.documents.end());
    expect_same_document(*document, *it->second);
  }
  const HnswIndex& x = a.hnsw;
  const HnswIndex& y = b.hnsw;
  EXPECT_EQ(x.config, y.config);
  EXPECT_EQ(x.vector_data, y.vector_data);
  EXPECT_EQ(float_bits(x.vector_min), float_bits(y.vector_min));
  EXPECT_EQ(float_bits(x.vector_scale), float_bits(y.vector_scale));
  EXPECT_EQ(float_bits(x.raw_vectors), float_bits(y.raw_vectors));
  EXPECT_EQ(x.neighbors.to_lists(), y.neighbors.to_lists());
  EXPECT_EQ(x.layers, y.layers);
  EXPECT_EQ(x.deleted, y.deleted);
  EXPECT_EQ(x.pq_codebook, y.pq_codebook);
  EXPECT_EQ(x.pq_codes, y.pq_codes);
  EXPECT_EQ(x.entry_point, y.entry_point);
  EXPECT_EQ(x.max_level, y.max_level);
  EXPECT_EQ(x.dimension, y.dimension);
  EXPECT_EQ(x.node_count, y.node_count);
  EXPECT_EQ(a.inverted_index.postings, b.inverted_index.postings);
  EXPECT_EQ(a.inverted_index.doc_lengths, b.inverted_index.doc_lengths);
  EXPECT_EQ(a.inverted_index.doc_count, b.inverted_index.doc_count);
  EXPECT_EQ(a.inverted_index.total_length, b.inverted_index.total_length);
  EXPECT_EQ(a.uuid_to_internal, b.uuid_to_internal);
  EXPECT_EQ(a.internal_to_uuid, b.internal_to_uuid);
}

}  // namespace tessarine::testing
