#include "core/format/snapshot_validation.h"

#include <string>
#include <string_view>
#include <type_traits>

namespace tessarine {
namespace {

// Products of sizes read from a file are compared in 128 bits, so a crafted
// dimension or count can never wrap around into a matching length.
using Wide = unsigned __int128;

void append(std::string& out, std::string_view text) { out += text; }
template <typename T>
requires std::is_integral_v<T>
void append(std::string& out, T value) { out += std::to_string(value); }

template <typename... Parts>
Status invalid(const Parts&... parts) {
  std::string message;
  (append(message, parts), ...);
  return Status::InvalidData(std::move(message));
}

// The thirteen length relations of the record, in their fixed order.
Status check_lengths(const Collection& c) {
  const HnswIndex& h = c.hnsw;
  const uint64_t n = h.node_count;
  const uint64_t dim = c.dimension;
  if (h.dimension != dim) {
    return invalid("HNSW dimension ", h.dimension, " != collection dimension ", dim);
  }
  if (Wide{h.vector_data.size()} != Wide{n} * dim) {
    return invalid("vector_data length ", h.vector_data.size(), " != node_count(", n,
                   ") * dimension(", dim, ")");
  }
  if (h.vector_min.size() != n) {
    return invalid("vector_min length ", h.vector_min.size(), " != node_count ", n);
  }
  if (h.vector_scale.size() != n) {
    return invalid("vector_scale length ", h.vector_scale.size(), " != node_count ", n);
  }
  if (h.neighbors.node_count() != n) {
    return invalid("neighbors length ", h.neighbors.node_count(), " != node_count ", n);
  }
  if (h.layers.size() != n) return invalid("layers length ", h.layers.size(), " != node_count ", n);
  if (h.deleted.size() != n) {
    return invalid("deleted length ", h.deleted.size(), " != node_count ", n);
  }
  if (h.pq_codebook && Wide{h.pq_codes.size()} != Wide{n} * h.pq_codebook->num_subspaces) {
    return invalid("pq_codes length ", h.pq_codes.size(), " != node_count(", n,
                   ") * num_subspaces(", h.pq_codebook->num_subspaces, ")");
  }
  if (c.uuid_to_internal.size() != c.internal_to_uuid.size()) {
    return invalid("uuid_to_internal(", c.uuid_to_internal.size(), ") != internal_to_uuid(",
                   c.internal_to_uuid.size(), ")");
  }
  if (c.internal_to_uuid.size() != n) {
    return invalid("internal_to_uuid length ", c.internal_to_uuid.size(), " != node_count ", n);
  }
  if (c.documents.size() > n) {
    return invalid("documents(", c.documents.size(), ") > node_count(", n, ")");
  }
  if (h.entry_point && *h.entry_point >= n) {
    return invalid("entry_point ", *h.entry_point, " >= node_count ", n);
  }
  for (uint32_t i = 0; i < n; ++i) {
    for (uint64_t l = 0; l < h.neighbors.layer_count(i); ++l) {
      for (uint32_t neighbor : h.neighbors.list(i, l)) {
        if (neighbor >= n) {
          return invalid("neighbor ", neighbor, " out of bounds (node_count=", n, ") at node ", i,
                         " layer ", l);
        }
      }
    }
  }
  return Status::Ok();
}

Status check_graph(const Collection& c) {
  const HnswIndex& h = c.hnsw;
  const uint64_t n = h.node_count;
  if (h.config.store_raw_vectors) {
    if (Wide{h.raw_vectors.size()} != Wide{n} * c.dimension) {
      return invalid("raw_vectors length ", h.raw_vectors.size(), " != node_count(", n,
                     ") * dimension(", c.dimension, ")");
    }
  } else if (!h.raw_vectors.empty()) {
    return invalid("raw_vectors length ", h.raw_vectors.size(),
                   " != 0 while raw vectors are not stored");
  }
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t level = h.layers[i];
    if (level >= h.config.level_cap) {
      return invalid("level ", level, " of node ", i, " >= level_cap ", h.config.level_cap);
    }
    if (h.neighbors.layer_count(i) != level + 1) {
      return invalid("node ", i, " has ", h.neighbors.layer_count(i), " neighbor lists for level ",
                     level);
    }
  }
  // A search that steps to a neighbour on layer l reads that neighbour's list
  // for layer l, so every link must lead to a node that has the layer.
  for (uint32_t i = 0; i < n; ++i) {
    for (uint64_t l = 0; l < h.neighbors.layer_count(i); ++l) {
      for (uint32_t neighbor : h.neighbors.list(i, l)) {
        if (h.layers[neighbor] < l) {
          return invalid("neighbor ", neighbor, " at node ", i, " layer ", l, " has only level ",
                         h.layers[neighbor]);
        }
      }
    }
  }
  if (n > 0 && !h.entry_point) return invalid("entry_point missing with node_count ", n);
  if (h.entry_point && h.max_level != h.layers[*h.entry_point]) {
    return invalid("max_level ", h.max_level, " != level ", h.layers[*h.entry_point],
                   " of entry_point ", *h.entry_point);
  }
  return Status::Ok();
}

Status check_quantization(const Collection& c) {
  const HnswIndex& h = c.hnsw;
  if (h.config.pq_subspaces != 0 && c.dimension % h.config.pq_subspaces != 0) {
    return invalid("pq_subspaces ", h.config.pq_subspaces, " does not divide dimension ",
                   c.dimension);
  }
  if (!h.pq_codebook) return Status::Ok();
  const PqCodebook& book = *h.pq_codebook;
  if (book.num_centroids != 256) {
    return invalid("pq_codebook num_centroids ", book.num_centroids, " != 256");
  }
  if (Wide{book.num_subspaces} * book.subspace_dim != c.dimension) {
    return invalid("pq_codebook num_subspaces(", book.num_subspaces, ") * subspace_dim(",
                   book.subspace_dim, ") != dimension ", c.dimension);
  }
  const Wide centroid_floats = Wide{book.num_subspaces} * book.num_centroids * book.subspace_dim;
  if (book.centroids.size() != centroid_floats) {
    return invalid("pq_codebook centroids length ", book.centroids.size(), " != num_subspaces(",
                   book.num_subspaces, ") * num_centroids(", book.num_centroids,
                   ") * subspace_dim(", book.subspace_dim, ")");
  }
  return Status::Ok();
}

Status check_keyword_index(const Collection& c) {
  const InvertedIndex& index = c.inverted_index;
  const uint64_t n = c.hnsw.node_count;
  if (index.doc_lengths.size() > n) {
    return invalid("doc_lengths length ", index.doc_lengths.size(), " > node_count ", n);
  }
  // BM25 divides by the average length: totals that disagree with the
  // lengths would turn scores into NaN or nonsense.
  uint64_t length_sum = 0;
  for (uint32_t length : index.doc_lengths) length_sum += length;
  if (length_sum != index.total_length) {
    return invalid("total_length ", index.total_length, " != sum of doc_lengths ", length_sum);
  }
  if (!index.postings.empty() && index.doc_count == 0) {
    return invalid("doc_count 0 with ", index.postings.size(), " terms");
  }
  for (const auto& [term, postings] : index.postings) {
    for (const Posting& p : postings) {
      if (p.doc_id >= index.doc_lengths.size()) {
        return invalid("posting doc_id ", p.doc_id, " >= doc_lengths length ",
                       index.doc_lengths.size());
      }
    }
  }
  return Status::Ok();
}

Status check_id_tables(const Collection& c) {
  const uint64_t n = c.hnsw.node_count;
  // With equal sizes (checked above), this makes the two tables inverse
  // bijections between the UUIDs and 0 .. node_count - 1.
  for (const auto& [id, internal] : c.uuid_to_internal) {
    if (internal >= n) {
      return invalid("uuid_to_internal value ", internal, " >= node_count ", n, " for ",
                     format_uuid(id));
    }
    if (c.internal_to_uuid[internal] != id) {
      return invalid("uuid_to_internal maps ", format_uuid(id), " to ", internal,
                     " but internal_to_uuid holds ", format_uuid(c.internal_to_uuid[internal]));
    }
  }
  for (const auto& [id, document] : c.documents) {
    if (!c.uuid_to_internal.contains(id)) {
      return invalid("document ", format_uuid(id), " has no internal id");
    }
    if (document->id != id) {
      return invalid("document key ", format_uuid(id), " holds document ",
                     format_uuid(document->id));
    }
  }
  return Status::Ok();
}

}  // namespace

Status validate_collection(const Collection& collection) {
  for (auto check :
       {check_lengths, check_graph, check_quantization, check_keyword_index, check_id_tables}) {
    if (Status status = check(collection); !status.ok()) return status;
  }
  return Status::Ok();
}

}  // namespace tessarine
