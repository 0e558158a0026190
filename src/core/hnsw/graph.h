// The HNSW index of one collection: a layered proximity graph over dense
// internal ids 0, 1, 2, ... together with the stored vector data. Vector data
// lives in flat contiguous sequences (node i's codes at i * dimension).
// Field order is the persisted order. The index has no lock of its own: its
// collection's reader-writer lock guards it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/base/prefetch.h"
#include "core/distance/code_pair.h"
#include "core/hnsw/adjacency.h"
#include "core/hnsw/config.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"

namespace tessarine {

struct HnswIndex {
  HnswConfig config;
  std::vector<uint8_t> vector_data;  // scalar codes, node_count * dimension
  std::vector<float> vector_min;     // per node
  std::vector<float> vector_scale;   // per node
  std::vector<float> raw_vectors;    // node_count * dimension when store_raw_vectors, else empty
  // The ids linked from node i on layer l: neighbors.list(i, l); one list per
  // layer 0 .. layers[i]. Persisted node by node, each list behind its length.
  Adjacency neighbors;
  std::vector<uint8_t> layers;   // each node's top level
  std::vector<uint8_t> deleted;  // tombstones, 0 or 1 per node
  std::optional<PqCodebook> pq_codebook;
  std::vector<uint8_t> pq_codes;  // node_count * num_subspaces when a codebook is present
  std::optional<uint32_t> entry_point;
  uint64_t max_level = 0;
  uint64_t dimension = 0;
  uint32_t node_count = 0;
  // Derived, never persisted: under cosine, each node's decoded sum of squares
  // (decoded_norm_sq), so distances to codes skip that sum. A node beyond its
  // end (a decoded index before restore_derived) has it summed per call.
  std::vector<double> code_norms;
  // Derived, never persisted: each node's code statistics, with which the
  // neighbour selection compares two stored vectors without decoding them.
  std::vector<CodeStats> code_stats;

  HnswIndex() = default;
  HnswIndex(const HnswConfig& config, uint64_t dimension)
      : config(config), neighbors(config.m_max0, config.m), dimension(dimension) {}

  // Appends node `id` (which must equal node_count) and links it into the
  // graph. `embedding` has `dimension` components and `quantized` is
  // QuantizedVector::quantize(embedding).
  void insert(uint32_t id, std::span<const float> embedding, QuantizedVector quantized);

  // Node `id`'s vector: its raw vector when raw vectors are kept, otherwise
  // its codes decoded to floats.
  std::vector<float> node_vector(uint32_t id) const;

  // Whether distances read raw vectors (exact) or the scalar codes.
  bool has_raw_vectors() const { return !raw_vectors.empty(); }

  // Node `id`'s raw vector; only when has_raw_vectors().
  std::span<const float> raw_vector(uint32_t id) const {
    return {raw_vectors.data() + static_cast<std::size_t>(id) * dimension, dimension};
  }

  // Node `id`'s scalar codes with their minimum and step.
  QuantizedView quantized_view(uint32_t id) const {
    return {{vector_data.data() + static_cast<std::size_t>(id) * dimension, dimension},
            vector_min[id],
            vector_scale[id]};
  }

  // Node `id`'s codes with their statistics.
  CodedVector coded(uint32_t id) const {
    const QuantizedView view = quantized_view(id);
    if (id < code_stats.size()) return {view, code_stats[id]};
    return CodedVector::of(view);
  }

  // Hints the processor to load up to `max_bytes` of node `id`'s stored
  // vector: its raw floats when they are kept, else its codes with their
  // minimum and step. Ids arrive in no order, so each line is asked for.
  void prefetch_vector(uint32_t id, std::size_t max_bytes = SIZE_MAX) const {
    const char* start;
    std::size_t bytes;
    if (has_raw_vectors()) {
      start = reinterpret_cast<const char*>(raw_vectors.data() + std::size_t{id} * dimension);
      bytes = dimension * sizeof(float);
    } else {
      start = reinterpret_cast<const char*>(vector_data.data() + std::size_t{id} * dimension);
      bytes = dimension;
      prefetch_line(vector_min.data() + id);
      prefetch_line(vector_scale.data() + id);
    }
    bytes = std::min(bytes, max_bytes);
    for (std::size_t offset = 0; offset < bytes; offset += 64) prefetch_line(start + offset);
  }

  // The same for what coded(id) reads: the whole codes and their statistics.
  void prefetch_coded(uint32_t id) const {
    prefetch_vector(id);
    if (id < code_stats.size()) prefetch_line(code_stats.data() + id);
  }

  bool is_deleted(uint32_t id) const { return deleted[id] != 0; }

  // Recomputes the derived per-node values from the stored ones (after a
  // load; the stored ones must be consistent).
  void restore_derived();
};

}  // namespace tessarine
