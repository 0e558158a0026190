#include "core/collection/rebuild.h"

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/collection/collection_ops.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"

namespace tessarine {
namespace {

struct SnapshotRecord {
  std::shared_ptr<const Document> document;
  std::vector<float> embedding;
};

// The fresh structures that replace a collection's indexes and id tables.
struct Rebuilt {
  HnswIndex hnsw;
  InvertedIndex inverted_index;
  HashMap<Uuid, uint32_t> uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;
};

// Appends a document to the new structures; its text is indexed unless the
// keyword index already holds it.
void append_document(HnswIndex& hnsw, InvertedIndex* inverted, HashMap<Uuid, uint32_t>& ids,
                     std::vector<Uuid>& slots, const Document& document,
                     std::span<const float> embedding) {
  const auto internal_id = static_cast<uint32_t>(slots.size());
  ids[document.id] = internal_id;
  slots.push_back(document.id);
  if (inverted != nullptr) inverted->add_document(internal_id, document.text);
  hnsw.insert(internal_id, embedding, QuantizedVector::quantize(embedding));
}

// The keyword index of the snapshot's documents (new id i for the i-th of
// `old_ids`, which ascend), derived from the current one without tokenizing
// again; nothing when the current one does not cover every document.
std::optional<InvertedIndex> derive_keyword_index(const InvertedIndex& current,
                                                  const std::vector<uint32_t>& old_ids) {
  std::vector<uint32_t> new_ids(current.doc_lengths.size(), InvertedIndex::kDroppedDocument);
  for (uint32_t i = 0; i < old_ids.size(); ++i) {
    if (old_ids[i] >= new_ids.size()) return std::nullopt;
    new_ids[old_ids[i]] = i;
  }
  return current.remapped(new_ids, static_cast<uint32_t>(old_ids.size()));
}

// Trains the codebook on the new index's vectors (raw when kept, decoded
// codes otherwise) and gives every node its codes. A configuration whose
// subspace count does not divide the dimension gets no codebook.
void train_product_quantization(HnswIndex& hnsw) {
  const uint64_t subspaces = hnsw.config.pq_subspaces;
  const uint64_t d = hnsw.dimension;
  if (hnsw.node_count == 0 || subspaces == 0 || d == 0 || d % subspaces != 0) return;
  std::vector<float> training;
  if (!hnsw.raw_vectors.empty()) {
    training.assign(hnsw.raw_vectors.begin(),
                    hnsw.raw_vectors.begin() + static_cast<std::ptrdiff_t>(hnsw.node_count * d));
  } else {
    training.reserve(hnsw.node_count * d);
    for (uint32_t i = 0; i < hnsw.node_count; ++i) {
      const std::vector<float> v = hnsw.node_vector(i);
      training.insert(training.end(), v.begin(), v.end());
    }
  }
  Result<PqCodebook> codebook = PqCodebook::train(training, d, subspaces);
  if (!codebook.ok()) return;
  hnsw.pq_codes = codebook->encode_batch(training, d);
  hnsw.pq_codebook = std::move(codebook).value();
}

}  // namespace

uint64_t rebuild(LockedCollection& locked) {
  // Phase 1: snapshot under the shared lock.
  std::vector<SnapshotRecord> snapshot;
  HnswConfig config;
  uint64_t dimension = 0;
  // The texts' postings carried over from the current keyword index.
  std::optional<InvertedIndex> keywords;
  {
    std::shared_lock guard(locked.lock);
    const Collection& c = locked.data;
    snapshot.reserve(c.documents.size());
    std::vector<uint32_t> old_ids;
    old_ids.reserve(c.documents.size());
    // In internal-id order, so insertion order survives the renumbering.
    for_each_live_document(c, [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
      if (internal < c.hnsw.node_count) {
        snapshot.push_back({doc, c.hnsw.node_vector(internal)});
        old_ids.push_back(internal);
      }
    });
    config = c.hnsw.config;
    dimension = c.hnsw.dimension;
    keywords = derive_keyword_index(c.inverted_index, old_ids);
  }

  // Phase 2: build without a lock; every structure here is private.
  Rebuilt next{HnswIndex(config, dimension), {}, {}, {}};
  if (keywords) next.inverted_index = std::move(*keywords);
  InvertedIndex* to_index = keywords ? nullptr : &next.inverted_index;
  next.uuid_to_internal.reserve(snapshot.size());
  next.internal_to_uuid.reserve(snapshot.size());
  for (const SnapshotRecord& record : snapshot) {
    append_document(next.hnsw, to_index, next.uuid_to_internal, next.internal_to_uuid,
                    *record.document, record.embedding);
  }
  train_product_quantization(next.hnsw);

  // Phase 3: swap under the exclusive lock, reconciling what changed meanwhile.
  std::unique_lock guard(locked.lock);
  Collection& c = locked.data;
  HashSet<Uuid> in_snapshot;
  in_snapshot.reserve(snapshot.size());
  for (uint32_t i = 0; i < snapshot.size(); ++i) {
    const Uuid& id = snapshot[i].document->id;
    in_snapshot.insert(id);
    auto live = c.documents.find(id);
    if (live == c.documents.end() || live->second != snapshot[i].document) {
      // Deleted (or replaced) while the new index was built: tombstone it.
      next.hnsw.deleted[i] = 1;
      next.inverted_index.remove_document(i);
    }
  }
  std::vector<SnapshotRecord> late;
  for_each_live_document(c, [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
    const Uuid& id = doc->id;
    const bool replaced =
        in_snapshot.contains(id) && doc != snapshot[next.uuid_to_internal.at(id)].document;
    if (in_snapshot.contains(id) && !replaced) return;
    if (internal < c.hnsw.node_count) late.push_back({doc, c.hnsw.node_vector(internal)});
  });
  for (const SnapshotRecord& record : late) {
    if (auto previous = next.uuid_to_internal.find(record.document->id);
        previous != next.uuid_to_internal.end()) {
      // A replaced document's old slot keeps a fresh placeholder id.
      Uuid placeholder;
      do {
        placeholder = generate_uuid_v4();
      } while (next.uuid_to_internal.contains(placeholder) || c.documents.contains(placeholder));
      // The slot is copied out first: the emplace may rehash and free `previous`.
      const uint32_t old_slot = previous->second;
      next.internal_to_uuid[old_slot] = placeholder;
      next.uuid_to_internal.emplace(placeholder, old_slot);
    }
    append_document(next.hnsw, &next.inverted_index, next.uuid_to_internal, next.internal_to_uuid,
                    *record.document, record.embedding);
  }
  c.hnsw = std::move(next.hnsw);
  c.inverted_index = std::move(next.inverted_index);
  c.uuid_to_internal = std::move(next.uuid_to_internal);
  c.internal_to_uuid = std::move(next.internal_to_uuid);
  // Internal ids changed: index the metadata under the new ones.
  rebuild_metadata_index(c);
  return snapshot.size();
}

}  // namespace tessarine
