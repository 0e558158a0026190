// Configuration of a collection's HNSW index, fixed at creation. Field order
// is the persisted order.
#pragma once

#include <cstdint>

#include "core/distance/distance.h"

namespace tessarine {

struct HnswConfig {
  uint64_t m = 16;                 // neighbours per node on layers >= 1; base of the level draw
  uint64_t m_max0 = 32;            // neighbours per node on layer 0
  uint64_t ef_construction = 200;  // beam width while inserting
  uint64_t ef_search = 50;         // minimum beam width on layer 0 while searching
  uint64_t level_cap = 16;         // layers a node may have: levels 0 .. level_cap - 1
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  uint64_t pq_subspaces = 0;       // product-quantization subspaces; 0 turns PQ off
  bool store_raw_vectors = false;  // keep full f32 vectors beside the scalar codes

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

}  // namespace tessarine
