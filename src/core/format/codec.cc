// Field order and width of every persisted record. Each record has one
// `put` (templated on the sink, so sizing and writing share the walk) and one
// `get`. Changing either side changes the file format.
#include "core/format/codec.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "core/base/fatal.h"
#include "core/base/prefetch.h"
#include "core/base/two_threads.h"
#include "core/format/codec_primitives.h"

namespace tessarine {
namespace {

using codec::ByteCounter;
using codec::ByteReader;
using codec::ByteWriter;
using codec::reservation_for;

constexpr uint32_t kDistanceMetricVariants = 3;
constexpr uint32_t kMetadataValueVariants = 4;
constexpr uint32_t kWalEntryVariants = std::variant_size_v<WalEntry>;
constexpr std::size_t kEncodedUuidBytes = 8 + 16;  // length prefix and bytes
static_assert(kWalEntryVariants == 7);
static_assert(std::variant_size_v<MetadataValue> == kMetadataValueVariants);

// ---- Encoding ---------------------------------------------------------------

template <typename Sink>
void put_string(Sink& s, std::string_view v) {
  s.put_u64(v.size());
  s.put_raw(reinterpret_cast<const uint8_t*>(v.data()), v.size());
}

template <typename Sink>
void put_bytes(Sink& s, std::span<const uint8_t> v) {
  s.put_u64(v.size());
  s.put_raw(v.data(), v.size());
}

template <typename Sink>
void put_f32s(Sink& s, std::span<const float> v) {
  s.put_u64(v.size());
  s.put_f32s(v);
}

template <typename Sink>
void put_u32s(Sink& s, std::span<const uint32_t> v) {
  s.put_u64(v.size());
  s.put_u32s(v);
}

// A UUID is a byte sequence of length 16.
template <typename Sink>
void put_uuid(Sink& s, const Uuid& id) {
  put_bytes(s, std::span<const uint8_t>(id.bytes));
}

template <typename Sink>
void put_metadata_value(Sink& s, const MetadataValue& value) {
  s.put_u32(static_cast<uint32_t>(value.index()));
  switch (value.index()) {
    case kBool:
      s.put_bool(std::get<kBool>(value));
      break;
    case kInt:
      s.put_i64(std::get<kInt>(value));
      break;
    case kFloat:
      s.put_f64(std::get<kFloat>(value));
      break;
    case kString:
      put_string(s, std::get<kString>(value));
      break;
    default:
      fatal("metadata value without a variant");
  }
}

template <typename Sink>
void put_document(Sink& s, const Document& d) {
  put_uuid(s, d.id);
  put_string(s, d.text);
  s.put_u64(d.metadata.size());
  for (const auto& [key, value] : d.metadata) {
    put_string(s, key);
    put_metadata_value(s, value);
  }
}

template <typename Sink>
void put_config(Sink& s, const HnswConfig& c) {
  s.put_u64(c.m);
  s.put_u64(c.m_max0);
  s.put_u64(c.ef_construction);
  s.put_u64(c.ef_search);
  s.put_u64(c.level_cap);
  s.put_u32(static_cast<uint32_t>(c.distance_metric));
  s.put_u64(c.pq_subspaces);
  s.put_bool(c.store_raw_vectors);
}

template <typename Sink>
void put_codebook(Sink& s, const PqCodebook& c) {
  s.put_u64(c.num_subspaces);
  s.put_u64(c.num_centroids);
  s.put_u64(c.subspace_dim);
  put_f32s(s, c.centroids);
}

template <typename Sink>
void put_index(Sink& s, const HnswIndex& h) {
  put_config(s, h.config);
  put_bytes(s, h.vector_data);
  put_f32s(s, h.vector_min);
  put_f32s(s, h.vector_scale);
  put_f32s(s, h.raw_vectors);
  s.put_u64(h.neighbors.node_count());
  for (std::size_t i = 0; i < h.neighbors.node_count(); ++i) {
    const uint32_t node = static_cast<uint32_t>(i);
    s.put_u64(h.neighbors.layer_count(node));
    for (uint64_t l = 0; l < h.neighbors.layer_count(node); ++l) {
      put_u32s(s, h.neighbors.list(node, l));
    }
  }
  put_bytes(s, h.layers);
  s.put_u64(h.deleted.size());
  s.put_bools(h.deleted);
  s.put_u8(h.pq_codebook ? 1 : 0);
  if (h.pq_codebook) put_codebook(s, *h.pq_codebook);
  put_bytes(s, h.pq_codes);
  s.put_u8(h.entry_point ? 1 : 0);
  if (h.entry_point) s.put_u32(*h.entry_point);
  s.put_u64(h.max_level);
  s.put_u64(h.dimension);
  s.put_u32(h.node_count);
}

template <typename Sink>
void put_inverted_index(Sink& s, const InvertedIndex& index) {
  s.put_u64(index.postings.size());
  for (const auto& [term, postings] : index.postings) {
    put_string(s, term);
    s.put_u64(postings.size());
    s.put_u32_records(std::span<const Posting>(postings.entries()));
  }
  put_u32s(s, index.doc_lengths);
  s.put_u32(index.doc_count);
  s.put_u64(index.total_length);
}

// Encoding a document first waits for its block, then for its text and its
// metadata table, which lie elsewhere in the heap. The walk asks for them
// ahead, one level per stage: the block a few documents ahead, its parts
// when the block has arrived.
constexpr std::size_t kDocumentAhead = 12;
constexpr std::size_t kDocumentPartsAhead = 6;

void request_document_parts(const Document& d) {
  prefetch_line(d.text.data());
  request_metadata_entries(d.metadata);
}

// A collection's record is its head and documents, then its tables; the two
// parts can be written by two threads and joined.
template <typename Sink>
void put_collection_documents(Sink& s, const Collection& c) {
  put_string(s, c.name);
  s.put_u64(c.dimension);
  s.put_u64(c.documents.size());
  auto block_ahead = c.documents.begin();
  auto parts_ahead = c.documents.begin();
  for (std::size_t i = 0; i < kDocumentAhead && block_ahead != c.documents.end(); ++i) {
    if (i == kDocumentAhead - kDocumentPartsAhead) parts_ahead = block_ahead;
    prefetch_line(block_ahead->second.get());
    ++block_ahead;
  }
  for (const auto& [id, document] : c.documents) {
    if (block_ahead != c.documents.end()) prefetch_line((block_ahead++)->second.get());
    if (parts_ahead != c.documents.end()) request_document_parts(*(parts_ahead++)->second);
    put_uuid(s, id);
    put_document(s, *document);
  }
}

template <typename Sink>
void put_collection_tables(Sink& s, const Collection& c) {
  put_index(s, c.hnsw);
  put_inverted_index(s, c.inverted_index);
  s.put_u64(c.uuid_to_internal.size());
  for (const auto& [id, internal] : c.uuid_to_internal) {
    put_uuid(s, id);
    s.put_u32(internal);
  }
  s.put_u64(c.internal_to_uuid.size());
  for (const Uuid& id : c.internal_to_uuid) put_uuid(s, id);
}

template <typename Sink>
void put_collection(Sink& s, const Collection& c) {
  put_collection_documents(s, c);
  put_collection_tables(s, c);
}

template <typename Sink>
void put_wal_entry(Sink& s, const WalEntry& entry) {
  s.put_u32(static_cast<uint32_t>(entry.index()));
  std::visit(
      [&s](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, CreateCollectionEntry>) {
          put_string(s, e.name);
          s.put_u64(e.dimension);
          put_config(s, e.config);
        } else if constexpr (std::is_same_v<E, DeleteCollectionEntry>) {
          put_string(s, e.name);
        } else if constexpr (std::is_same_v<E, InsertDocumentEntry>) {
          put_string(s, e.collection);
          put_document(s, e.document);
          put_f32s(s, e.embedding);
        } else if constexpr (std::is_same_v<E, DeleteDocumentEntry>) {
          put_string(s, e.collection);
          put_uuid(s, e.id);
        } else if constexpr (std::is_same_v<E, BatchInsertEntry>) {
          put_string(s, e.collection);
          s.put_u64(e.documents.size());
          for (const auto& [document, embedding] : e.documents) {
            put_document(s, document);
            put_f32s(s, embedding);
          }
        } else if constexpr (std::is_same_v<E, UpdateDocumentEntry>) {
          put_string(s, e.collection);
          put_uuid(s, e.id);
          put_document(s, e.document);
          put_f32s(s, e.embedding);
        } else {
          static_assert(std::is_same_v<E, BatchWriteEntry>);
          put_string(s, e.collection);
          s.put_u64(e.deletes.size());
          for (const Uuid& id : e.deletes) put_uuid(s, id);
          s.put_u64(e.inserts.size());
          for (const auto& [document, embedding] : e.inserts) {
            put_document(s, document);
            put_f32s(s, embedding);
          }
        }
      },
      entry);
}

// Sizes the record, allocates once, writes it.
template <typename Record, typename Put>
std::vector<uint8_t> encode_record(const Record& record, Put put) {
  ByteCounter counter;
  put(counter, record);
  std::vector<uint8_t> out(static_cast<std::size_t>(counter.size()));
  ByteWriter writer(out);
  put(writer, record);
  if (!writer.finished()) fatal("record encoding wrote fewer bytes than its computed size");
  return out;
}

// ---- Decoding ---------------------------------------------------------------

bool get_uuid(ByteReader& r, Uuid& id) {
  uint64_t length;
  const uint8_t* data = nullptr;
  if (!r.get_u64(length) || !r.take(length, data)) return false;
  if (length != 16) {
    return r.fail("UUID parsing failed: invalid length: expected 16 bytes, found " +
                  std::to_string(length));
  }
  std::memcpy(id.bytes.data(), data, 16);
  return true;
}

bool get_metadata_value(ByteReader& r, MetadataValue& value) {
  uint32_t index;
  if (!r.get_variant_index(index, kMetadataValueVariants)) return false;
  switch (index) {
    case kBool: {
      bool b;
      if (!r.get_bool(b)) return false;
      value = b;
      return true;
    }
    case kInt: {
      int64_t i;
      if (!r.get_i64(i)) return false;
      value = i;
      return true;
    }
    case kFloat: {
      double f;
      if (!r.get_f64(f)) return false;
      value = f;
      return true;
    }
    default: {
      std::string text;
      if (!r.get_string(text)) return false;
      value = std::move(text);
      return true;
    }
  }
}

bool get_document(ByteReader& r, Document& d) {
  uint64_t count;
  if (!get_uuid(r, d.id) || !r.get_string(d.text) || !r.get_u64(count)) return false;
  d.metadata = Metadata();
  // An entry takes at least a key length, a variant index and a bool.
  d.metadata.reserve(r.reservation(count, 13));
  for (uint64_t i = 0; i < count; ++i) {
    std::string key;
    MetadataValue value;
    if (!r.get_string(key) || !get_metadata_value(r, value)) return false;
    d.metadata.insert_or_assign(std::move(key), std::move(value));  // a later duplicate wins
  }
  return true;
}

bool get_config(ByteReader& r, HnswConfig& c) {
  uint32_t metric;
  if (!r.get_u64(c.m) || !r.get_u64(c.m_max0) || !r.get_u64(c.ef_construction) ||
      !r.get_u64(c.ef_search) || !r.get_u64(c.level_cap) ||
      !r.get_variant_index(metric, kDistanceMetricVariants) || !r.get_u64(c.pq_subspaces) ||
      !r.get_bool(c.store_raw_vectors)) {
    return false;
  }
  c.distance_metric = static_cast<DistanceMetric>(metric);
  return true;
}

bool get_codebook(ByteReader& r, PqCodebook& c) {
  return r.get_u64(c.num_subspaces) && r.get_u64(c.num_centroids) && r.get_u64(c.subspace_dim) &&
         r.get_f32s(c.centroids);
}

// The graph's links, stored per node and layer, read straight into the flat
// arrays they live in. Room is reserved for the nodes the rest of the input
// can hold, at most four bytes of slots per byte of input (a node's lists
// may be empty); the lists are checked after decoding, like every other field.
bool get_neighbors(ByteReader& r, Adjacency& adjacency) {
  uint64_t nodes;
  if (!r.get_u64(nodes)) return false;
  adjacency.reserve(
      r.reservation(nodes, std::max<std::size_t>(8, adjacency.base_slot_bytes() / 4)));
  std::vector<uint32_t> ids;
  for (uint64_t i = 0; i < nodes; ++i) {
    uint64_t layer_count;
    // Levels are one byte, so no node of a readable graph has more lists.
    if (!r.get_u64(layer_count) || layer_count > Adjacency::kMaxLists) return false;
    adjacency.add_node(layer_count);
    for (uint64_t l = 0; l < layer_count; ++l) {
      if (!r.get_u32s(ids)) return false;
      adjacency.set_list(static_cast<uint32_t>(i), l, ids);
    }
  }
  return true;
}

bool get_index(ByteReader& r, HnswIndex& h) {
  if (!get_config(r, h.config) || !r.get_u8s(h.vector_data) || !r.get_f32s(h.vector_min) ||
      !r.get_f32s(h.vector_scale) || !r.get_f32s(h.raw_vectors)) {
    return false;
  }
  h.neighbors = Adjacency(h.config.m_max0, h.config.m);
  if (!get_neighbors(r, h.neighbors)) return false;
  if (!r.get_u8s(h.layers) || !r.get_bools(h.deleted)) return false;
  bool present;
  if (!r.get_option_tag(present)) return false;
  if (present && !get_codebook(r, h.pq_codebook.emplace())) return false;
  if (!r.get_u8s(h.pq_codes) || !r.get_option_tag(present)) return false;
  if (present) {
    uint32_t entry;
    if (!r.get_u32(entry)) return false;
    h.entry_point = entry;
  }
  return r.get_u64(h.max_level) && r.get_u64(h.dimension) && r.get_u32(h.node_count);
}

static_assert(codec::U32Record<Posting> && sizeof(Posting) == 8);

bool get_inverted_index(ByteReader& r, InvertedIndex& index) {
  uint64_t terms;
  if (!r.get_u64(terms)) return false;
  // The lists' score bounds need the lengths, which come last: the lists
  // are held until then and summarised once.
  std::vector<std::pair<std::string, std::vector<Posting>>> lists;
  lists.reserve(r.reservation(terms, 16));  // a term takes at least its two lengths
  for (uint64_t i = 0; i < terms; ++i) {
    uint64_t count;
    auto& [term, postings] = lists.emplace_back();
    // The whole run of postings must be present before it is allocated.
    if (!r.get_string(term) || !r.get_u64(count) || !r.get_u32_records(count, postings)) {
      return false;
    }
  }
  if (!r.get_u32s(index.doc_lengths) || !r.get_u32(index.doc_count) ||
      !r.get_u64(index.total_length)) {
    return false;
  }
  index.postings.reserve(lists.size());
  for (auto& [term, postings] : lists) {
    // A term that occurs twice keeps its later list.
    index.postings.insert_or_assign(std::move(term),
                                    PostingList(std::move(postings), index.doc_lengths));
  }
  return true;
}

// The length-prefixed bytes of a string, passed over.
bool skip_bytes(ByteReader& r) {
  uint64_t length;
  const uint8_t* data = nullptr;
  return r.get_u64(length) && r.take(length, data);
}

// Passes over what get_document reads, building nothing and checking no
// UTF-8: wherever get_document succeeds, this succeeds and stops where it
// stops (where it fails, get_document fails too, at the same place or
// before).
bool skip_document(ByteReader& r) {
  Uuid id;
  uint64_t count;
  if (!get_uuid(r, id) || !skip_bytes(r) || !r.get_u64(count)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t index;
    if (!skip_bytes(r) || !r.get_variant_index(index, kMetadataValueVariants)) return false;
    bool flag;
    uint64_t number;
    const bool value_read = index == kBool                     ? r.get_bool(flag)
                            : index == kInt || index == kFloat ? r.get_u64(number)
                                                               : skip_bytes(r);
    if (!value_read) return false;
  }
  return true;
}

// The documents: `count` pairs of an id and a document.
bool get_document_table(ByteReader& r, uint64_t count, Collection& c) {
  // A document takes at least its key, its own id and two lengths.
  c.documents.reserve(r.reservation(count, 2 * kEncodedUuidBytes + 16));
  for (uint64_t i = 0; i < count; ++i) {
    Uuid id;
    Document document;
    if (!get_uuid(r, id) || !get_document(r, document)) return false;
    c.documents.insert_or_assign(id, std::make_shared<const Document>(std::move(document)));
  }
  return true;
}

bool skip_document_table(ByteReader& r, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    Uuid id;
    if (!get_uuid(r, id) || !skip_document(r)) return false;
  }
  return true;
}

// What follows the documents: the two indexes and the id tables.
bool get_indexes_and_ids(ByteReader& r, Collection& c) {
  uint64_t count;
  if (!get_index(r, c.hnsw) || !get_inverted_index(r, c.inverted_index) || !r.get_u64(count)) {
    return false;
  }
  c.uuid_to_internal.reserve(r.reservation(count, kEncodedUuidBytes + 4));
  for (uint64_t i = 0; i < count; ++i) {
    Uuid id;
    uint32_t internal;
    if (!get_uuid(r, id) || !r.get_u32(internal)) return false;
    c.uuid_to_internal.insert_or_assign(id, internal);
  }
  if (!r.get_u64(count)) return false;
  c.internal_to_uuid.reserve(r.reservation(count, kEncodedUuidBytes));
  for (uint64_t i = 0; i < count; ++i) {
    if (!get_uuid(r, c.internal_to_uuid.emplace_back())) return false;
  }
  return true;
}

// The collection record. A large record's tables are decoded on a second
// thread, which first passes over the documents, building nothing, to find
// where they end; this thread builds the documents meanwhile. The documents
// make most of the small allocations, and a second thread's malloc arena
// grows a page (one mprotect call) at a time, where the main thread's heap,
// which a program mostly loads from, grows in large steps. The first failure
// in record order is the one reported, as in a decoding from front to back:
// the pass over the documents fails wherever building them fails, at the
// same place or before.
Result<Collection> get_collection(std::span<const uint8_t> bytes, std::size_t side_by_side_bytes) {
  ByteReader reader(bytes);
  Collection c;
  uint64_t count;
  if (!reader.get_string(c.name) || !reader.get_u64(c.dimension) || !reader.get_u64(count)) {
    return Status::InvalidData(reader.error());
  }
  if (bytes.size() >= side_by_side_bytes) {
    ByteReader after_documents = reader;
    bool documents_read = false, rest_read = false;
    run_side_by_side(
        [&] {
          rest_read = skip_document_table(after_documents, count) &&
                      get_indexes_and_ids(after_documents, c);
        },
        [&] { documents_read = get_document_table(reader, count, c); });
    if (!documents_read) return Status::InvalidData(reader.error());
    if (!rest_read) return Status::InvalidData(after_documents.error());
    return c;
  }
  if (!get_document_table(reader, count, c) || !get_indexes_and_ids(reader, c)) {
    return Status::InvalidData(reader.error());
  }
  return c;
}

bool get_embedding_entry(ByteReader& r, std::string& collection, Document& document,
                         std::vector<float>& embedding) {
  return r.get_string(collection) && get_document(r, document) && r.get_f32s(embedding);
}

// A count, then that many (document, embedding) pairs.
bool get_documents(ByteReader& r, std::vector<std::pair<Document, std::vector<float>>>& out) {
  uint64_t count;
  if (!r.get_u64(count)) return false;
  out.reserve(reservation_for<std::pair<Document, std::vector<float>>>(count));
  for (uint64_t i = 0; i < count; ++i) {
    auto& [document, embedding] = out.emplace_back();
    if (!get_document(r, document) || !r.get_f32s(embedding)) return false;
  }
  return true;
}

bool get_wal_entry(ByteReader& r, WalEntry& entry) {
  uint32_t index;
  if (!r.get_variant_index(index, kWalEntryVariants)) return false;
  switch (index) {
    case 0: {
      auto& e = entry.emplace<CreateCollectionEntry>();
      return r.get_string(e.name) && r.get_u64(e.dimension) && get_config(r, e.config);
    }
    case 1: {
      auto& e = entry.emplace<DeleteCollectionEntry>();
      return r.get_string(e.name);
    }
    case 2: {
      auto& e = entry.emplace<InsertDocumentEntry>();
      return get_embedding_entry(r, e.collection, e.document, e.embedding);
    }
    case 3: {
      auto& e = entry.emplace<DeleteDocumentEntry>();
      return r.get_string(e.collection) && get_uuid(r, e.id);
    }
    case 4: {
      auto& e = entry.emplace<BatchInsertEntry>();
      return r.get_string(e.collection) && get_documents(r, e.documents);
    }
    case 5: {
      auto& e = entry.emplace<UpdateDocumentEntry>();
      return r.get_string(e.collection) && get_uuid(r, e.id) && get_document(r, e.document) &&
             r.get_f32s(e.embedding);
    }
    default: {
      auto& e = entry.emplace<BatchWriteEntry>();
      uint64_t count;
      if (!r.get_string(e.collection) || !r.get_u64(count)) return false;
      e.deletes.reserve(reservation_for<Uuid>(count));
      for (uint64_t i = 0; i < count; ++i) {
        if (!get_uuid(r, e.deletes.emplace_back())) return false;
      }
      return get_documents(r, e.inserts);
    }
  }
}

}  // namespace

std::vector<uint8_t> encode_collection(const Collection& collection) {
  return encode_record(collection,
                       [](auto& sink, const Collection& c) { put_collection(sink, c); });
}

void encode_collection_to(const Collection& collection, codec::ChunkChannel& front,
                          codec::ChunkChannel* back, std::size_t side_by_side_documents) {
  if (back == nullptr || collection.documents.size() < side_by_side_documents) {
    codec::ChunkWriter writer(front);
    put_collection(writer, collection);
    writer.finish();
    return;
  }
  // The documents are the slower part to encode (a text and a map each), so
  // the front's thread, which the file waits for first, gets them alone.
  run_side_by_side(
      [&] {
        codec::ChunkWriter writer(front);
        put_collection_documents(writer, collection);
        writer.finish();
      },
      [&] {
        codec::ChunkWriter writer(*back);
        put_collection_tables(writer, collection);
        writer.finish();
      });
}

Result<Collection> decode_collection(std::span<const uint8_t> bytes,
                                     std::size_t side_by_side_bytes) {
  return get_collection(bytes, side_by_side_bytes);
}

std::vector<uint8_t> encode_wal_entry(const WalEntry& entry) {
  return encode_record(entry, [](auto& sink, const WalEntry& e) { put_wal_entry(sink, e); });
}

Result<WalEntry> decode_wal_entry(std::span<const uint8_t> bytes) {
  ByteReader reader(bytes);
  WalEntry entry;
  if (!get_wal_entry(reader, entry)) return Status::InvalidData(reader.error());
  return entry;
}

}  // namespace tessarine
