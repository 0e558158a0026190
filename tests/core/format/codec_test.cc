#include "core/format/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "core/format/codec_primitives.h"
#include "snapshot_test_util.h"

namespace tessarine {
namespace {

using testing::expect_same_collection;
using testing::expect_same_document;
using testing::float_bits;
using testing::sample_collection;
using testing::uuid_with;

constexpr char kEndOfInput[] = "io error: unexpected end of file";

// Builds record bytes by hand, little-endian.
class Bytes {
 public:
  Bytes& u8(uint8_t v) { return le(v, 1); }
  Bytes& u32(uint32_t v) { return le(v, 4); }
  Bytes& u64(uint64_t v) { return le(v, 8); }
  Bytes& str(std::string_view s) {
    u64(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& uuid(const Uuid& id) {
    u64(16);
    out_.insert(out_.end(), id.bytes.begin(), id.bytes.end());
    return *this;
  }
  std::vector<uint8_t> done() const { return out_; }

 private:
  Bytes& le(uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> out_;
};

std::string decode_error(const std::vector<uint8_t>& bytes) {
  auto decoded = decode_wal_entry(bytes);
  if (decoded.ok()) return "(decoded)";
  EXPECT_EQ(decoded.status().code(), ErrorCode::kInvalidData);
  return decoded.status().message();
}

std::string collection_decode_error(const std::vector<uint8_t>& bytes) {
  auto decoded = decode_collection(bytes);
  if (decoded.ok()) return "(decoded)";
  EXPECT_EQ(decoded.status().code(), ErrorCode::kInvalidData);
  return decoded.status().message();
}

void put_u64_at(std::vector<uint8_t>& bytes, std::size_t offset, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::size_t find_pattern(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& pattern) {
  auto it = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  EXPECT_NE(it, bytes.end());
  EXPECT_EQ(std::search(it + 1, bytes.end(), pattern.begin(), pattern.end()), bytes.end())
      << "pattern is not unique";
  return static_cast<std::size_t>(it - bytes.begin());
}

Document worked_example_document() {
  Document d{*parse_uuid("00112233-4455-6677-8899-aabbccddeeff"), "hi", {}};
  d.metadata["a"] = int64_t{1};
  return d;
}

TEST(CodecTest, WorkedExampleDocumentIs63Bytes) {
  // An InsertDocument entry with an empty collection name and no embedding
  // frames the document: variant (4) + name (8) before it, count (8) after.
  const auto bytes = encode_wal_entry(InsertDocumentEntry{"", worked_example_document(), {}});
  ASSERT_EQ(bytes.size(), 4u + 8u + 63u + 8u);
  const std::vector<uint8_t> document(bytes.begin() + 12, bytes.end() - 8);
  const std::vector<uint8_t> expected = {
      0x10, 0,    0,    0,    0,    0,    0,    0,                 // UUID length 16
      0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,              //
      0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff,              // UUID bytes
      0x02, 0,    0,    0,    0,    0,    0,    0,    0x68, 0x69,  // "hi"
      0x01, 0,    0,    0,    0,    0,    0,    0,                 // one entry
      0x01, 0,    0,    0,    0,    0,    0,    0,    0x61,        // "a"
      0x01, 0,    0,    0,                                         // Int
      0x01, 0,    0,    0,    0,    0,    0,    0};                // 1
  EXPECT_EQ(document, expected);

  auto decoded = decode_wal_entry(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().message();
  expect_same_document(std::get<InsertDocumentEntry>(*decoded).document, worked_example_document());
}

TEST(CodecTest, FixedSizes) {
  const std::string name = "abcde";
  EXPECT_EQ(encode_wal_entry(DeleteDocumentEntry{name, uuid_with(1)}).size(), 36 + name.size());
  EXPECT_EQ(encode_wal_entry(CreateCollectionEntry{name, 8, HnswConfig{}}).size(),
            73 + name.size());
  EXPECT_EQ(encode_wal_entry(DeleteCollectionEntry{name}).size(), 12 + name.size());
  // Variant (4) + empty name (8) + empty Document (40) + empty embedding (8).
  EXPECT_EQ(encode_wal_entry(InsertDocumentEntry{"", Document{}, {}}).size(), 60u);

  // An empty collection still writes all seven fields and all fourteen index fields.
  Collection empty("", 0, HnswConfig{});
  const auto empty_bytes = encode_collection(empty);
  EXPECT_EQ(empty_bytes.size(), 8u + 8 + 8 + 139 + 28 + 8 + 8);

  empty.inverted_index.postings["term"] = {{1, 2}};
  EXPECT_EQ(encode_collection(empty).size(), empty_bytes.size() + 8 + 4 + 8 + 8);
  empty.inverted_index.postings["term"].push_back({3, 4});
  EXPECT_EQ(encode_collection(empty).size(), empty_bytes.size() + 8 + 4 + 8 + 16);
}

TEST(CodecTest, WalEntriesRoundTrip) {
  Document doc = worked_example_document();
  const std::vector<float> embedding = {1.0f, -0.0f, std::bit_cast<float>(0x7fc00042u),
                                        -std::numeric_limits<float>::infinity()};
  HnswConfig config;
  config.m = 7;
  config.distance_metric = DistanceMetric::Euclidean;
  config.store_raw_vectors = true;

  const std::vector<WalEntry> entries = {
      CreateCollectionEntry{"c", 384, config},
      DeleteCollectionEntry{"c"},
      InsertDocumentEntry{"c", doc, embedding},
      DeleteDocumentEntry{"c", uuid_with(5)},
      BatchInsertEntry{"c", {{doc, embedding}, {Document{uuid_with(2), "x", {}}, {}}}},
      UpdateDocumentEntry{"c", uuid_with(3), doc, embedding},
      BatchWriteEntry{"c", {uuid_with(3), uuid_with(4)}, {{doc, embedding}}},
  };
  for (const WalEntry& entry : entries) {
    SCOPED_TRACE(entry.index());
    auto bytes = encode_wal_entry(entry);
    bytes.push_back(0xAB);  // bytes after the record are ignored
    auto decoded = decode_wal_entry(bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.status().message();
    ASSERT_EQ(decoded->index(), entry.index());
    bytes.pop_back();
    EXPECT_EQ(encode_wal_entry(*decoded), bytes);
  }
  auto decoded_batch = decode_wal_entry(encode_wal_entry(entries[4]));
  ASSERT_TRUE(decoded_batch.ok());
  const auto& batch = std::get<BatchInsertEntry>(*decoded_batch);
  ASSERT_EQ(batch.documents.size(), 2u);
  expect_same_document(batch.documents[0].first, doc);
  EXPECT_EQ(float_bits(batch.documents[0].second), float_bits(embedding));
  auto decoded_write = decode_wal_entry(encode_wal_entry(entries[6]));
  ASSERT_TRUE(decoded_write.ok());
  const auto& write = std::get<BatchWriteEntry>(*decoded_write);
  EXPECT_EQ(write.deletes, (std::vector<Uuid>{uuid_with(3), uuid_with(4)}));
  ASSERT_EQ(write.inserts.size(), 1u);
  expect_same_document(write.inserts[0].first, doc);
  auto decoded_create = decode_wal_entry(encode_wal_entry(entries[0]));
  ASSERT_TRUE(decoded_create.ok());
  EXPECT_EQ(std::get<CreateCollectionEntry>(*decoded_create).config, config);
}

TEST(CodecTest, CollectionRoundTripKeepsEveryFieldBitForBit) {
  const Collection original = sample_collection();
  auto bytes = encode_collection(original);
  bytes.insert(bytes.end(), {'T', 'C', 'R', '1', 1, 2, 3, 4});  // a trailer is ignored
  auto decoded = decode_collection(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().message();
  expect_same_collection(original, *decoded);

  Collection empty("", 0, HnswConfig{});
  auto empty_decoded = decode_collection(encode_collection(empty));
  ASSERT_TRUE(empty_decoded.ok());
  expect_same_collection(empty, *empty_decoded);
  EXPECT_FALSE(empty_decoded->hnsw.entry_point.has_value());
  EXPECT_FALSE(empty_decoded->hnsw.pq_codebook.has_value());
}

TEST(CodecTest, DecodeErrorsCarryTheirExactTexts) {
  // The config's metric index sits after variant, name, dimension and five u64 fields.
  auto bad_metric = encode_wal_entry(CreateCollectionEntry{"", 4, HnswConfig{}});
  bad_metric[4 + 8 + 8 + 40] = 3;
  auto bad_raw_flag = encode_wal_entry(CreateCollectionEntry{"", 4, HnswConfig{}});
  bad_raw_flag.back() = 2;

  Document with_bool{uuid_with(0), "", {}};
  with_bool.metadata["k"] = true;
  auto bad_bool = encode_wal_entry(InsertDocumentEntry{"", with_bool, {}});
  bad_bool[bad_bool.size() - 9] = 2;  // the bool payload, before the empty embedding
  auto bad_metadata_variant = encode_wal_entry(InsertDocumentEntry{"", with_bool, {}});
  bad_metadata_variant[bad_metadata_variant.size() - 13] = 4;

  auto short_uuid = encode_wal_entry(DeleteDocumentEntry{"", uuid_with(0)});
  put_u64_at(short_uuid, 4 + 8, 15);

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::string message;
  };
  const std::string bool_error = "invalid u8 while decoding bool, expected 0 or 1, found 2";
  const auto huge_embedding = Bytes()
                                  .u32(2)
                                  .str("c")
                                  .uuid(uuid_with(0))
                                  .str("")
                                  .u64(0)
                                  .u64(uint64_t{1} << 40)
                                  .u64(0)
                                  .done();
  const Case cases[] = {
      {"empty input", {}, kEndOfInput},
      {"WalEntry variant 7",
       {7, 0, 0, 0},
       "invalid value: integer `7`, expected variant index 0 <= i < 7"},
      {"DistanceMetric 3", bad_metric,
       "invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {"MetadataValue 4", bad_metadata_variant,
       "invalid value: integer `4`, expected variant index 0 <= i < 4"},
      {"bool 2 in metadata", bad_bool, bool_error},
      {"bool 2 in config", bad_raw_flag, bool_error},
      {"UUID length 15", short_uuid,
       "UUID parsing failed: invalid length: expected 16 bytes, found 15"},
      {"embedding of 2^40 floats in a short input", huge_embedding, kEndOfInput},
      {"batch of 2^40 documents", Bytes().u32(4).str("c").u64(uint64_t{1} << 40).done(),
       kEndOfInput},
      {"string longer than the input", Bytes().u32(1).u64(~uint64_t{0}).done(), kEndOfInput},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_error(c.bytes), c.message) << c.what;
}

TEST(CodecTest, InvalidUtf8IsReportedWithRustStyleTexts) {
  const std::string prefix = "string is not valid utf8: ";
  struct Case {
    std::string name;
    std::string message;
  };
  const Case cases[] = {
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"abc\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 3"},
      {"a\xe2\x82z", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // a surrogate
      {"12345678\xf0\x9f\x98\x80\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 12"},
      {"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      // Past and inside the runs of ASCII read a word or four at a time.
      {std::string(70, 'a') + "\xff", "invalid utf-8 sequence of 1 bytes from index 70"},
      {std::string(31, 'a') + "\xff" + std::string(40, 'a'),
       "invalid utf-8 sequence of 1 bytes from index 31"},
      {std::string(33, 'a') + "\xc3\xa9" + std::string(32, 'a') + "\xe2\x82",
       "incomplete utf-8 byte sequence from index 67"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_error(encode_wal_entry(DeleteCollectionEntry{c.name})), prefix + c.message)
        << c.message;
  }
  EXPECT_EQ(decode_error(encode_wal_entry(DeleteCollectionEntry{"Zürich \xf0\x9f\x98\x80"})),
            "(decoded)");
}

TEST(CodecTest, EveryTruncationFailsWithEndOfInput) {
  const auto collection = encode_collection(sample_collection());
  for (std::size_t n = 0; n < collection.size(); ++n) {
    ASSERT_EQ(collection_decode_error({collection.begin(), collection.begin() + n}), kEndOfInput)
        << n;
  }
  const auto entry = encode_wal_entry(
      UpdateDocumentEntry{"c", uuid_with(3), worked_example_document(), {1.0f, 2.0f}});
  for (std::size_t n = 0; n < entry.size(); ++n) {
    ASSERT_EQ(decode_error({entry.begin(), entry.begin() + n}), kEndOfInput) << n;
  }
}

// Decoding the documents on a second thread beside the rest must give what a
// decoding from front to back gives: the same record, or the same first
// error, whichever part of the record is damaged.
TEST(CodecTest, DecodingSideBySideGivesTheFrontToBackResult) {
  constexpr std::size_t kAlways = 0, kNever = SIZE_MAX;
  const auto bytes = encode_collection(sample_collection());
  auto whole = decode_collection(bytes, kAlways);
  ASSERT_TRUE(whole.ok()) << whole.status().message();
  expect_same_collection(sample_collection(), *whole);

  const auto outcome = [](const std::vector<uint8_t>& input, std::size_t threshold) {
    auto decoded = decode_collection(input, threshold);
    return decoded.ok() ? std::string("(decoded)") : decoded.status().message();
  };
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    const std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + at);
    ASSERT_EQ(outcome(truncated, kAlways), outcome(truncated, kNever)) << "cut at " << at;
    for (uint8_t value : {uint8_t{2}, uint8_t{0xff}}) {
      std::vector<uint8_t> changed = bytes;
      changed[at] = value;
      ASSERT_EQ(outcome(changed, kAlways), outcome(changed, kNever))
          << "byte " << at << " set to " << int{value};
    }
  }
}

TEST(CodecTest, CorruptIndexFieldsInACollection) {
  // Layers {1, 0, 0} are followed by the tombstones {0, 0, 1}.
  const std::vector<uint8_t> tombstones = {1, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  auto bad_tombstone = encode_collection(sample_collection());
  const std::size_t at = find_pattern(bad_tombstone, tombstones);
  bad_tombstone[at + tombstones.size() - 1] = 2;
  EXPECT_EQ(collection_decode_error(bad_tombstone),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");

  // In an empty collection named "", the entry point's tag follows 142 bytes.
  auto bad_tag = encode_collection(Collection("", 0, HnswConfig{}));
  ASSERT_EQ(bad_tag[142], 0);
  bad_tag[142] = 2;
  EXPECT_EQ(collection_decode_error(bad_tag), "tag for enum is not valid, found 2");

  auto huge_neighbors = encode_collection(Collection("", 0, HnswConfig{}));
  put_u64_at(huge_neighbors, 8 + 8 + 8 + 53 + 4 * 8, uint64_t{1} << 40);
  EXPECT_EQ(collection_decode_error(huge_neighbors), kEndOfInput);
}

TEST(CodecTest, LaterDuplicateMetadataKeyWins) {
  const auto bytes = Bytes()
                         .u32(2)
                         .str("c")
                         .uuid(uuid_with(0))
                         .str("text")
                         .u64(3)
                         .str("a")
                         .u32(1)
                         .u64(1)
                         .str("b")
                         .u32(0)
                         .u8(1)
                         .str("a")
                         .u32(3)
                         .str("second")
                         .u64(0)
                         .done();
  auto decoded = decode_wal_entry(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().message();
  const Metadata& metadata = std::get<InsertDocumentEntry>(*decoded).document.metadata;
  ASSERT_EQ(metadata.size(), 2u);
  EXPECT_EQ(metadata.at("a"), MetadataValue(std::string("second")));
  EXPECT_EQ(metadata.at("b"), MetadataValue(true));
}

TEST(CodecTest, ReservationIsCappedAtOneMebibyte) {
  EXPECT_EQ(codec::reservation_for<uint8_t>(uint64_t{1} << 40), 1048576u);
  EXPECT_EQ(codec::reservation_for<float>(uint64_t{1} << 40), 262144u);
  EXPECT_EQ(codec::reservation_for<uint32_t>(10), 10u);
}

}  // namespace
}  // namespace tessarine
