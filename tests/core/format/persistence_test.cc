#include "core/format/persistence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/collection/collection_ops.h"
#include "core/collection/collection_search.h"
#include "core/collection/rebuild.h"
#include "core/format/codec.h"
#include "core/format/quoted_path.h"
#include "snapshot_test_util.h"

namespace tessarine {
namespace {

namespace fs = std::filesystem;
using testing::expect_same_collection;
using testing::sample_collection;
using testing::uuid_with;

constexpr char kKeyHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr char kOtherKeyHex[] = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

uint32_t zlib_crc(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// A plain snapshot of any record, consistent or not.
std::vector<uint8_t> plain_snapshot(const Collection& c) {
  std::vector<uint8_t> bytes = encode_collection(c);
  const uint32_t crc = zlib_crc(bytes);
  bytes.insert(bytes.end(), {'T', 'C', 'R', '1'});
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(crc >> shift));
  return bytes;
}

std::string hex32(uint32_t v) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08x", v);
  return buffer;
}

CollectionHandle handle_of(Collection c) {
  return std::make_shared<LockedCollection>(std::move(c));
}

std::shared_ptr<const Document> empty_document(const Uuid& id) {
  return std::make_shared<const Document>(Document{id, "", {}});
}

std::shared_ptr<const EncryptionKey> key_of(const char* hex) {
  auto key = EncryptionKey::from_hex(hex);
  EXPECT_TRUE(key.ok());
  return *key;
}

class PersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tessarine-snapshot-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // The load error of a file holding `bytes`.
  Status load_error(const std::vector<uint8_t>& bytes, const EncryptionKey* key = nullptr) {
    const fs::path file = root_ / "crafted.tsr";
    write_file(file, bytes);
    auto loaded = load_collection(*Env::posix(), file, key);
    return loaded.ok() ? Status::Ok() : loaded.status();
  }

  std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

TEST_F(PersistenceTest, SaveAndLoadRoundTripWithPrivatePermissions) {
  const mode_t old_mask = ::umask(0);
  const fs::path dir = root_ / "data" / "nested";
  auto handle = handle_of(sample_collection("docs"));
  const Status saved = save_collection(*Env::posix(), handle, dir, nullptr);
  ::umask(old_mask);
  ASSERT_TRUE(saved.ok()) << saved.message();

  EXPECT_EQ(entries(dir), std::vector<std::string>{"docs.tsr"});  // no ".tsr.tmp" left
  struct stat info;
  ASSERT_EQ(::stat((dir / "docs.tsr").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const auto bytes = read_file(dir / "docs.tsr");
  const auto payload = encode_collection(handle->data);
  ASSERT_EQ(bytes.size(), payload.size() + 8);
  EXPECT_EQ(plain_snapshot(handle->data), bytes);  // TCR1 + big-endian zlib CRC-32

  auto loaded = load_collection(*Env::posix(), dir / "docs.tsr", nullptr);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  expect_same_collection(handle->data, (*loaded)->data);

  // A key is ignored for a plain file.
  auto key = key_of(kKeyHex);
  EXPECT_TRUE(load_collection(*Env::posix(), dir / "docs.tsr", key.get()).ok());
}

TEST_F(PersistenceTest, SavingAgainReplacesTheSnapshot) {
  auto handle = handle_of(Collection("c", 0, HnswConfig{}));
  ASSERT_TRUE(save_collection(*Env::posix(), handle, root_, nullptr).ok());
  handle->data.dimension = 0;
  handle->data.inverted_index.doc_count = 7;
  ASSERT_TRUE(save_collection(*Env::posix(), handle, root_, nullptr).ok());
  EXPECT_EQ(entries(root_), std::vector<std::string>{"c.tsr"});
  auto loaded = load_collection(*Env::posix(), root_ / "c.tsr", nullptr);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  EXPECT_EQ((*loaded)->data.inverted_index.doc_count, 7u);
}

TEST_F(PersistenceTest, FailedSaveLeavesThePreviousSnapshot) {
  auto handle = handle_of(Collection("c", 0, HnswConfig{}));
  ASSERT_TRUE(save_collection(*Env::posix(), handle, root_, nullptr).ok());
  const auto before = read_file(root_ / "c.tsr");
  fs::create_directory(root_ / "c.tsr.tmp");  // the temporary file cannot be created
  handle->data.inverted_index.doc_count = 9;
  const Status failed = save_collection(*Env::posix(), handle, root_, nullptr);
  EXPECT_EQ(failed.code(), ErrorCode::kIo);
  EXPECT_EQ(failed.message(),
            "open " + (root_ / "c.tsr.tmp").string() + ": Is a directory (os error 21)");
  EXPECT_EQ(read_file(root_ / "c.tsr"), before);

  const Status too_long =
      save_collection(*Env::posix(), handle, root_ / std::string(300, 'p'), nullptr);
  EXPECT_EQ(too_long.code(), ErrorCode::kIo);
  EXPECT_EQ(too_long.message(), "create directory " + (root_ / std::string(300, 'p')).string() +
                                    ": File name too long (os error 36)");

  write_file(root_ / "plain-file", {1});
  const Status not_a_directory =
      save_collection(*Env::posix(), handle, root_ / "plain-file", nullptr);
  EXPECT_EQ(not_a_directory.code(), ErrorCode::kIo);
  EXPECT_FALSE(not_a_directory.message().empty());
}

TEST_F(PersistenceTest, CorruptPlainSnapshotsReportBothChecksums) {
  const auto good = plain_snapshot(sample_collection());
  const std::string quoted = quoted_path(root_ / "crafted.tsr");
  ASSERT_EQ(quoted, '"' + (root_ / "crafted.tsr").string() + '"');
  const std::size_t payload_size = good.size() - 8;
  uint32_t stored = 0;
  for (std::size_t i = payload_size + 4; i < good.size(); ++i) stored = stored << 8 | good[i];

  auto payload_flipped = good;
  payload_flipped[100] ^= 0x01;
  const uint32_t computed = zlib_crc({payload_flipped.data(), payload_size});
  Status error = load_error(payload_flipped);
  EXPECT_EQ(error.code(), ErrorCode::kInvalidData);
  EXPECT_EQ(error.message(), "Snapshot CRC32 mismatch: expected " + hex32(stored) + ", got " +
                                 hex32(computed) + ". File may be corrupted: " + quoted);

  auto crc_flipped = good;
  crc_flipped.back() ^= 0x80;
  error = load_error(crc_flipped);
  EXPECT_EQ(error.message(), "Snapshot CRC32 mismatch: expected " + hex32(stored ^ 0x80) +
                                 ", got " + hex32(stored) + ". File may be corrupted: " + quoted);

  // Without its magic the file is unframed: the record decodes and the
  // former trailer is ignored.
  auto unframed = good;
  unframed[payload_size] = 'X';
  EXPECT_TRUE(load_error(unframed).ok());
}

TEST_F(PersistenceTest, MalformedFilesFailCleanly) {
  Status error = load_error({0x01, 0x02, 0x03});
  EXPECT_EQ(error.code(), ErrorCode::kInvalidData);
  EXPECT_EQ(error.message(), "io error: unexpected end of file");

  error = load_error({});
  EXPECT_EQ(error.message(), "io error: unexpected end of file");

  // "TCR1" with a matching CRC of an empty payload: the record is missing.
  error = load_error({'T', 'C', 'R', '1', 0, 0, 0, 0});
  EXPECT_EQ(error.message(), "io error: unexpected end of file");

  auto missing = load_collection(*Env::posix(), root_ / "absent.tsr", nullptr);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ErrorCode::kIo);
  EXPECT_EQ(missing.status().message(),
            "open " + (root_ / "absent.tsr").string() + ": No such file or directory (os error 2)");

  auto directory = load_collection(*Env::posix(), root_, nullptr);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.status().code(), ErrorCode::kIo);
}

TEST_F(PersistenceTest, ValidationFailureIsPrefixed) {
  Collection c = sample_collection();
  c.hnsw.deleted.pop_back();
  const Status error = load_error(plain_snapshot(c));
  EXPECT_EQ(error.code(), ErrorCode::kInvalidData);
  EXPECT_EQ(error.message(), "snapshot validation failed: deleted length 2 != node_count 3");
}

TEST_F(PersistenceTest, RawVectorsAreDroppedWhenNotKept) {
  Collection c = sample_collection("docs", /*store_raw_vectors=*/false);
  c.hnsw.raw_vectors = {1.0f, 2.0f};  // stale data that the configuration does not keep
  write_file(root_ / "docs.tsr", plain_snapshot(c));
  auto loaded = load_collection(*Env::posix(), root_ / "docs.tsr", nullptr);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  EXPECT_TRUE((*loaded)->data.hnsw.raw_vectors.empty());
}

TEST_F(PersistenceTest, EncryptedSnapshots) {
  auto key = key_of(kKeyHex);
  auto handle = handle_of(sample_collection("secret"));
  ASSERT_TRUE(save_collection(*Env::posix(), handle, root_, key.get()).ok());
  const fs::path file = root_ / "secret.tsr";
  const auto bytes = read_file(file);
  ASSERT_EQ(bytes.size(), encode_collection(handle->data).size() + 32);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "TCE1");

  auto loaded = load_collection(*Env::posix(), file, key.get());
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  expect_same_collection(handle->data, (*loaded)->data);

  auto without_key = load_collection(*Env::posix(), file, nullptr);
  ASSERT_FALSE(without_key.ok());
  EXPECT_EQ(without_key.status().code(), ErrorCode::kInvalidData);
  EXPECT_EQ(without_key.status().message(),
            "snapshot \"" + file.string() + "\" is encrypted but no encryption key was provided");

  auto other = key_of(kOtherKeyHex);
  auto wrong_key = load_collection(*Env::posix(), file, other.get());
  ASSERT_FALSE(wrong_key.ok());
  EXPECT_EQ(wrong_key.status().message(), "decryption failed: wrong key or corrupted data");
  EXPECT_EQ(load_error({'T', 'C', 'E', '1', 1, 2, 3}, key.get()).message(),
            "encrypted data too short: 3 bytes (minimum 28)");
}

TEST_F(PersistenceTest, UnsafeNamesStayInsideTheDirectoryAndRoundTrip) {
  const std::vector<std::string> names = {"",
                                          ".",
                                          "..",
                                          "../escape",
                                          "a/b",
                                          "/abs",
                                          "a\\b",
                                          std::string("nul\0byte", 8),
                                          ".hidden",
                                          "%41",
                                          "%~",
                                          "tab\there",
                                          "Zürich",
                                          std::string(247, 'x'),
                                          std::string(248, 'x'),
                                          std::string(300, '/'),
                                          std::string(1000, 'y'),
                                          "docs",
                                          "docs.tsr",
                                          "UPPER-lower_1.2"};
  const fs::path dir = root_ / "dir";
  std::set<std::string> files;
  for (const std::string& name : names) {
    const std::string file = snapshot_file_name(name);
    SCOPED_TRACE(file);
    EXPECT_LE(file.size() + 4, 255u);  // room for ".tmp"
    EXPECT_EQ(file.find('/'), std::string::npos);
    EXPECT_EQ(file.find('\0'), std::string::npos);
    EXPECT_NE(file.front(), '.');
    EXPECT_TRUE(file.ends_with(".tsr"));
    files.insert(file);
    if (!file.starts_with("%~")) {  // all but the hashed forms are readable back
      EXPECT_EQ(collection_name_from_file_name(file), name);
    }
    ASSERT_TRUE(
        save_collection(*Env::posix(), handle_of(Collection(name, 0, HnswConfig{})), dir, nullptr)
            .ok());
  }
  EXPECT_EQ(files.size(), names.size());  // no two names share a file
  EXPECT_EQ(entries(dir), std::vector<std::string>(files.begin(), files.end()));
  EXPECT_EQ(entries(root_), std::vector<std::string>{"dir"});  // nothing escaped the directory

  for (const std::string& name : names) {
    auto loaded = load_collection(*Env::posix(), dir / snapshot_file_name(name), nullptr);
    ASSERT_TRUE(loaded.ok()) << loaded.status().message();
    EXPECT_EQ((*loaded)->data.name, name);
  }
}

// Vector and keyword results as (id, score bits), which must not change
// across a save and a load. Keyword results tie often and equal scores have
// no defined order, so they are compared as sets.
std::vector<std::pair<std::string, uint32_t>> search_fingerprint(const LockedCollection& c,
                                                                 std::span<const float> query) {
  std::vector<std::pair<std::string, uint32_t>> out;
  SearchRequest by_vector;
  by_vector.query_embedding.emplace(query.begin(), query.end());
  by_vector.k = 25;
  SearchRequest by_keyword;
  by_keyword.query_text = "alpha gamma";
  by_keyword.k = 1000;
  for (const SearchRequest* request : {&by_vector, &by_keyword}) {
    auto results = search_collection(c, *request);
    EXPECT_TRUE(results.ok());
    if (!results.ok()) return out;
    const std::size_t first = out.size();
    for (const ScoredDocument& r : *results) {
      out.emplace_back(format_uuid(r.document->id), std::bit_cast<uint32_t>(r.score));
    }
    if (request == &by_keyword) std::sort(out.begin() + first, out.end());
  }
  return out;
}

constexpr uint64_t kRealDim = 8;

// A collection built by the real insertion path: 300 documents, every
// seventh deleted, a few deleted ids inserted again under new internal ids.
CollectionHandle real_collection(bool raw_vectors) {
  const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
  HnswConfig config;
  config.m = 6;
  config.m_max0 = 12;
  config.ef_construction = 40;
  config.store_raw_vectors = raw_vectors;
  config.pq_subspaces = 4;
  auto handle = handle_of(Collection("real", kRealDim, config));
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<Uuid> ids;
  for (int i = 0; i < 300; ++i) {
    std::vector<float> embedding(kRealDim);
    for (float& x : embedding) x = normal(rng);
    std::string text = std::string(words[i % 6]) + " " + words[(i / 6) % 6] + " doc";
    auto id = insert_document(*handle, Document::create(std::move(text), {}), embedding);
    EXPECT_TRUE(id.ok()) << id.status().message();
    if (id.ok()) ids.push_back(*id);
  }
  for (std::size_t i = 0; i < ids.size(); i += 7) EXPECT_TRUE(delete_document(*handle, ids[i]));
  for (std::size_t i = 0; i < 30 && i < ids.size(); i += 7) {
    std::vector<float> embedding(kRealDim, 0.5f);
    EXPECT_TRUE(insert_document(*handle, Document{ids[i], "alpha again", {}}, embedding).ok());
  }
  return handle;
}

TEST_F(PersistenceTest, RealIndexesSurviveSaveAndLoad) {
  const std::vector<float> query = {0.1f, -0.2f, 0.3f, 0.4f, -0.5f, 0.6f, 0.7f, -0.8f};
  for (bool raw : {false, true}) {
    SCOPED_TRACE(raw);
    auto handle = real_collection(raw);
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      const Status valid = validate_collection(handle->data);
      ASSERT_TRUE(valid.ok()) << valid.message();
      ASSERT_TRUE(save_collection(*Env::posix(), handle, root_, nullptr).ok());
      auto loaded = load_collection(*Env::posix(), root_ / "real.tsr", nullptr);
      ASSERT_TRUE(loaded.ok()) << loaded.status().message();
      expect_same_collection(handle->data, (*loaded)->data);
      const auto before = search_fingerprint(*handle, query);
      EXPECT_GT(before.size(), 25u + 50u);
      EXPECT_EQ(search_fingerprint(**loaded, query), before);
      rebuild(*handle);  // the second round saves a compacted index with a PQ codebook
    }
    EXPECT_TRUE(handle->data.hnsw.pq_codebook.has_value());
  }
}

// Damaged snapshots either fail to load or load into a collection that every
// later operation can use: searching, inserting, deleting and rebuilding.
TEST_F(PersistenceTest, CorruptedRecordsNeverBreakLaterOperations) {
  auto handle = real_collection(/*raw_vectors=*/true);
  rebuild(*handle);
  const std::vector<uint8_t> payload = encode_collection(handle->data);  // unframed: no CRC
  const std::vector<float> query(kRealDim, 0.25f);
  std::mt19937 rng(11);
  int loaded_count = 0;
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<uint8_t> bytes = payload;
    const int flips = 1 + trial % 3;
    for (int f = 0; f < flips; ++f) {
      bytes[rng() % bytes.size()] = static_cast<uint8_t>(trial % 2 == 0 ? rng() : 0xFF);
    }
    write_file(root_ / "fuzz.tsr", bytes);
    auto loaded = load_collection(*Env::posix(), root_ / "fuzz.tsr", nullptr);
    if (!loaded.ok()) {
      EXPECT_EQ(loaded.status().code(), ErrorCode::kInvalidData);
      continue;
    }
    ++loaded_count;
    LockedCollection& c = **loaded;
    SearchRequest request;
    request.query_embedding = query;
    request.query_text = "alpha doc";
    request.k = 10;
    EXPECT_TRUE(search_collection(c, request).ok());
    request.filter.emplace();
    EXPECT_TRUE(search_collection(c, request).ok());
    (void)insert_document(c, Document::create("beta gamma", {}), query);
    if (!c.data.documents.empty()) {
      const Uuid victim = c.data.documents.begin()->first;  // a copy: the entry is erased
      delete_document(c, victim);
    }
    if (loaded_count % 8 == 1) {  // rebuilding is the slow part
      rebuild(c);
      EXPECT_TRUE(validate_collection(c.data).ok()) << trial;
    }
  }
  EXPECT_GT(loaded_count, 20);
}

TEST(SnapshotNamesTest, OrdinaryNamesAreKeptAndOthersEscaped) {
  EXPECT_EQ(snapshot_file_name("docs"), "docs.tsr");
  EXPECT_EQ(snapshot_file_name("my-coll_1.v2"), "my-coll_1.v2.tsr");
  EXPECT_EQ(snapshot_file_name(""), "%.tsr");
  EXPECT_EQ(snapshot_file_name(".."), "%...tsr");
  EXPECT_EQ(snapshot_file_name("a/b c"), "%a%2Fb%20c.tsr");
  EXPECT_EQ(snapshot_file_name("%"), "%%25.tsr");
  EXPECT_TRUE(snapshot_file_name(std::string(300, 'z')).starts_with("%~"));
  EXPECT_EQ(snapshot_file_name(std::string(300, 'z')).size(), 2u + 64 + 4);

  // File names this mapping never produces are not read back.
  for (const char* file : {"docs.tsr.tmp", ".tsr", "%a%2fb.tsr", "%a%2.tsr", "%docs.tsr", "a b.tsr",
                           ".hidden.tsr", "wal.bin"}) {
    EXPECT_EQ(collection_name_from_file_name(file), std::nullopt) << file;
  }
}

TEST(QuotedPathTest, EscapesLikeADebugString) {
  struct Case {
    std::string bytes;
    std::string quoted;
  };
  const Case cases[] = {
      {"/data/docs.tsr", "\"/data/docs.tsr\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("t\tr\rn\nz\0", 8), "\"t\\tr\\rn\\nz\\0\""},
      {"it's Zürich", "\"it's Zürich\""},
      {"\x1b[0m\x7f", "\"\\u{1b}[0m\\u{7f}\""},
      {"nb\u00a0sp\u200bzw\u2028", "\"nb\\u{a0}sp\\u{200b}zw\\u{2028}\""},
      {"bad\xff\xfe", "\"bad\\xFF\\xFE\""},
      {"cut\xe2\x82", "\"cut\\xE2\\x82\""},
  };
  for (const Case& c : cases) EXPECT_EQ(quoted_bytes(c.bytes), c.quoted);
  EXPECT_EQ(quoted_path(fs::path("/x/y.tsr")), "\"/x/y.tsr\"");
}

// A corruption of the graph's links, made in their nested (persisted) form.
std::function<void(Collection&)> edit_links(std::function<void(NeighborLists&)> edit) {
  return [edit](Collection& c) {
    NeighborLists lists = c.hnsw.neighbors.to_lists();
    edit(lists);
    c.hnsw.neighbors = Adjacency::from_lists(lists, c.hnsw.config.m_max0, c.hnsw.config.m);
  };
}

TEST(SnapshotValidationTest, ChecksInOrderWithExactMessages) {
  struct Case {
    const char* message;
    std::function<void(Collection&)> corrupt;
  };
  const Case cases[] = {
      {"HNSW dimension 5 != collection dimension 4", [](Collection& c) { c.hnsw.dimension = 5; }},
      {"vector_data length 11 != node_count(3) * dimension(4)",
       [](Collection& c) { c.hnsw.vector_data.pop_back(); }},
      {"vector_min length 2 != node_count 3", [](Collection& c) { c.hnsw.vector_min.pop_back(); }},
      {"vector_scale length 4 != node_count 3",
       [](Collection& c) { c.hnsw.vector_scale.push_back(1); }},
      {"neighbors length 2 != node_count 3", edit_links([](NeighborLists& l) { l.pop_back(); })},
      {"layers length 2 != node_count 3", [](Collection& c) { c.hnsw.layers.pop_back(); }},
      {"deleted length 2 != node_count 3", [](Collection& c) { c.hnsw.deleted.pop_back(); }},
      {"pq_codes length 5 != node_count(3) * num_subspaces(2)",
       [](Collection& c) { c.hnsw.pq_codes.pop_back(); }},
      {"uuid_to_internal(4) != internal_to_uuid(3)",
       [](Collection& c) { c.uuid_to_internal[uuid_with(9)] = 0; }},
      {"internal_to_uuid length 4 != node_count 3",
       [](Collection& c) {
         c.uuid_to_internal[uuid_with(9)] = 3;
         c.internal_to_uuid.push_back(uuid_with(9));
       }},
      {"documents(4) > node_count(3)",
       [](Collection& c) {
         for (uint8_t i = 2; i < 4; ++i) {
           c.documents[uuid_with(i)] = empty_document(uuid_with(i));
         }
       }},
      {"entry_point 3 >= node_count 3", [](Collection& c) { c.hnsw.entry_point = 3; }},
      {"neighbor 7 out of bounds (node_count=3) at node 1 layer 0",
       edit_links([](NeighborLists& l) {
         l[1][0].push_back(7);
         l[2][0].push_back(8);
       })},
      // What later searches and insertions rely on.
      {"raw_vectors length 11 != node_count(3) * dimension(4)",
       [](Collection& c) { c.hnsw.raw_vectors.pop_back(); }},
      {"raw_vectors length 12 != 0 while raw vectors are not stored",
       [](Collection& c) { c.hnsw.config.store_raw_vectors = false; }},
      {"level 1 of node 0 >= level_cap 1", [](Collection& c) { c.hnsw.config.level_cap = 1; }},
      {"node 0 has 1 neighbor lists for level 1",
       edit_links([](NeighborLists& l) { l[0].pop_back(); })},
      {"node 2 has 2 neighbor lists for level 0",
       edit_links([](NeighborLists& l) { l[2].push_back({}); })},
      {"neighbor 1 at node 0 layer 1 has only level 0",
       edit_links([](NeighborLists& l) { l[0][1].push_back(1); })},
      {"entry_point missing with node_count 3", [](Collection& c) { c.hnsw.entry_point.reset(); }},
      {"max_level 2 != level 1 of entry_point 0", [](Collection& c) { c.hnsw.max_level = 2; }},
      {"pq_subspaces 3 does not divide dimension 4",
       [](Collection& c) { c.hnsw.config.pq_subspaces = 3; }},
      {"pq_codebook num_centroids 255 != 256",
       [](Collection& c) { c.hnsw.pq_codebook->num_centroids = 255; }},
      {"pq_codebook num_subspaces(2) * subspace_dim(3) != dimension 4",
       [](Collection& c) { c.hnsw.pq_codebook->subspace_dim = 3; }},
      {"pq_codebook centroids length 1023 != num_subspaces(2) * num_centroids(256) * "
       "subspace_dim(2)",
       [](Collection& c) { c.hnsw.pq_codebook->centroids.pop_back(); }},
      {"doc_lengths length 4 > node_count 3",
       [](Collection& c) { c.inverted_index.doc_lengths.push_back(0); }},
      {"total_length 1000 != sum of doc_lengths ",
       [](Collection& c) { c.inverted_index.total_length = 1000; }},
      {"doc_count 0 with ", [](Collection& c) { c.inverted_index.doc_count = 0; }},
      {"posting doc_id 3 >= doc_lengths length 3",
       [](Collection& c) {
         c.inverted_index.postings["red"].push_back({3, 1});
       }},
      {"uuid_to_internal value 5 >= node_count 3 for 02122232-4252-6272-8292-a2b2c2d2e2f2",
       [](Collection& c) { c.uuid_to_internal[uuid_with(2)] = 5; }},
      {"uuid_to_internal maps 02122232-4252-6272-8292-a2b2c2d2e2f2 to 1 but internal_to_uuid "
       "holds 01112131-4151-6171-8191-a1b1c1d1e1f1",
       [](Collection& c) { c.uuid_to_internal[uuid_with(2)] = 1; }},
      {"document 09192939-4959-6979-8999-a9b9c9d9e9f9 has no internal id",
       [](Collection& c) {
         c.documents.erase(uuid_with(1));
         c.documents[uuid_with(9)] = empty_document(uuid_with(9));
       }},
      {"document key 01112131-4151-6171-8191-a1b1c1d1e1f1 holds document "
       "00102030-4050-6070-8090-a0b0c0d0e0f0",
       [](Collection& c) { c.documents[uuid_with(1)] = empty_document(uuid_with(0)); }},
  };
  EXPECT_TRUE(validate_collection(sample_collection()).ok());
  EXPECT_TRUE(validate_collection(Collection("", 0, HnswConfig{})).ok());
  for (const Case& c : cases) {
    Collection collection = sample_collection();
    c.corrupt(collection);
    const Status status = validate_collection(collection);
    EXPECT_EQ(status.code(), ErrorCode::kInvalidData);
    // A message ending in a space is a prefix (the rest depends on the sample's contents).
    const std::string expected = c.message;
    if (!expected.empty() && expected.back() == ' ') {
      EXPECT_EQ(status.message().substr(0, expected.size()), expected);
    } else {
      EXPECT_EQ(status.message(), c.message);
    }
  }
}

TEST(SnapshotValidationTest, HugeSizesDoNotWrapAround) {
  // 2^32 * 2^32 wraps to 0 in 64 bits: an empty vector_data must not match.
  Collection c("", uint64_t{1} << 32, HnswConfig{});
  c.hnsw.node_count = 0;
  EXPECT_TRUE(validate_collection(c).ok());
  c.hnsw.dimension = c.dimension = uint64_t{1} << 63;
  c.hnsw.node_count = 2;
  EXPECT_EQ(validate_collection(c).message(),
            "vector_data length 0 != node_count(2) * dimension(9223372036854775808)");
}

}  // namespace
}  // namespace tessarine
