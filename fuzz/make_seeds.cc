// Writes the seed corpora of the fuzz targets: real, valid encodings made by
// the library itself, a few kilobytes per target.
//   tessarine_fuzz_seeds <corpus-root>   writes <corpus-root>/<target>/seed-*
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/db/database.h"
#include "core/format/codec.h"
#include "core/format/persistence.h"
#include "core/format/wal.h"
#include "fuzz_support.h"

using namespace tessarine;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_seed(const fs::path& root, const std::string& target, const std::string& name,
                std::span<const uint8_t> bytes) {
  fs::create_directories(root / target);
  fuzzing::write_file(root / target / ("seed-" + name), bytes);
}

void write_seed(const fs::path& root, const std::string& target, const std::string& name,
                std::string_view text) {
  write_seed(root, target, name, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::vector<float> embedding_for(int i, uint64_t dimension) {
  std::vector<float> v(dimension);
  for (uint64_t d = 0; d < dimension; ++d) v[d] = static_cast<float>((i * 7 + d * 3) % 11) - 5.0f;
  return v;
}

Document document_for(int i) {
  static const char* const kTexts[] = {
      "red apples and green pears", "a fast web server",   "Grüße aus Köln",
      "ΣΊΣΥΦΟΣ rolls uphill",       "the database server", "日本語のテキスト 42"};
  Metadata metadata;
  metadata["n"] = int64_t{i};
  if (i % 2 == 0) metadata["even"] = true;
  if (i % 3 == 0) metadata["weight"] = 0.5 * i;
  metadata["tag"] = std::string(i % 2 == 0 ? "alpha" : "beta");
  return Document::create(kTexts[i % std::size(kTexts)], std::move(metadata));
}

// A collection with a few documents, one of them deleted (a tombstone).
CollectionHandle small_collection(const std::string& name, const HnswConfig& config,
                                  uint64_t dimension, int documents) {
  auto handle = std::make_shared<LockedCollection>(Collection(name, dimension, config));
  std::vector<Uuid> ids;
  for (int i = 0; i < documents; ++i) {
    auto id = insert_document(*handle, document_for(i), embedding_for(i, dimension));
    if (id.ok()) ids.push_back(*id);
  }
  if (ids.size() > 2) (void)delete_document(*handle, ids[1]);
  return handle;
}

void snapshot_seeds(const fs::path& root, const fuzzing::ScratchDirectory& scratch,
                    const EncryptionKey& key) {
  HnswConfig plain_config;
  plain_config.m = 4;
  plain_config.m_max0 = 8;
  plain_config.ef_construction = 16;
  HnswConfig raw_config = plain_config;
  raw_config.store_raw_vectors = true;
  raw_config.distance_metric = DistanceMetric::Euclidean;
  HnswConfig pq_config = plain_config;
  pq_config.pq_subspaces = 2;
  pq_config.distance_metric = DistanceMetric::DotProduct;

  struct Sample {
    std::string name;
    CollectionHandle handle;
  };
  std::vector<Sample> samples = {
      {"empty", std::make_shared<LockedCollection>(Collection("empty", 3, plain_config))},
      {"cosine", small_collection("cosine", plain_config, 3, 6)},
      {"raw", small_collection("raw", raw_config, 2, 5)},
      {"pq", small_collection("pq", pq_config, 2, 4)},
  };
  (void)rebuild(*samples[3].handle);  // trains the codebook when the collection has one

  for (const Sample& sample : samples) {
    const std::vector<uint8_t> record = encode_collection(sample.handle->data);
    write_seed(root, "fuzz_decode_collection", sample.name, record);
    write_seed(root, "fuzz_snapshot_load", sample.name + "-unframed", record);

    scratch.clear();
    if (save_collection(*Env::posix(), sample.handle, scratch.path(), nullptr).ok()) {
      write_seed(root, "fuzz_snapshot_load", sample.name + "-plain",
                 read_file(scratch.path() / snapshot_file_name(sample.name)));
    }
    scratch.clear();
    if (sample.name != "pq" &&
        save_collection(*Env::posix(), sample.handle, scratch.path(), &key).ok()) {
      write_seed(root, "fuzz_snapshot_load", sample.name + "-sealed",
                 read_file(scratch.path() / snapshot_file_name(sample.name)));
    }
  }
}

std::vector<WalEntry> sample_entries() {
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  config.ef_construction = 16;
  std::vector<WalEntry> entries;
  entries.push_back(CreateCollectionEntry{"docs", 3, config});
  Document first = document_for(0);
  const Uuid first_id = first.id;
  entries.push_back(InsertDocumentEntry{"docs", first, embedding_for(0, 3)});
  BatchInsertEntry batch{"docs", {}};
  for (int i = 1; i < 4; ++i) batch.documents.emplace_back(document_for(i), embedding_for(i, 3));
  entries.push_back(batch);
  entries.push_back(UpdateDocumentEntry{"docs", first_id, Document{first_id, "updated text", {}},
                                        embedding_for(9, 3)});
  entries.push_back(BatchWriteEntry{
      "docs", {first_id}, {{Document{first_id, "rewritten", {}}, embedding_for(8, 3)}}});
  entries.push_back(DeleteDocumentEntry{"docs", first_id});
  entries.push_back(CreateCollectionEntry{"gone", 2, HnswConfig{}});
  entries.push_back(DeleteCollectionEntry{"gone"});
  return entries;
}

void wal_seeds(const fs::path& root, const fuzzing::ScratchDirectory& scratch,
               const std::shared_ptr<const EncryptionKey>& key) {
  const std::vector<WalEntry> entries = sample_entries();
  static const char* const kKinds[] = {"create", "insert",  "batch", "update",
                                       "delete", "create2", "drop"};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    write_seed(root, "fuzz_decode_wal_entry", kKinds[i], encode_wal_entry(entries[i]));
  }

  // Whole logs: plain, sealed, and plain then sealed records in one file.
  auto write_log = [&](const std::string& name, bool plain_part, bool sealed_part) {
    scratch.clear();
    {
      auto plain = SyncWriteAheadLog::open(*Env::posix(), scratch.path(), nullptr);
      if (!plain.ok()) return;
      if (plain_part) {
        for (const WalEntry& entry : entries) (void)(*plain)->append(entry);
      }
    }
    if (sealed_part) {
      auto sealed = SyncWriteAheadLog::open(*Env::posix(), scratch.path(), key);
      if (!sealed.ok()) return;
      for (std::size_t i = 0; i < 3; ++i) (void)(*sealed)->append(entries[i]);
    }
    write_seed(root, "fuzz_wal_read", name, read_file(scratch.path() / kWalFileName));
  };
  write_log("plain", true, false);
  write_log("sealed", false, true);
  write_log("mixed", true, true);
}

void text_seeds(const fs::path& root, const EncryptionKey& key) {
  write_seed(root, "fuzz_uuid", "simple", "0123456789abcdef0123456789ABCDEF");
  write_seed(root, "fuzz_uuid", "hyphenated", "67e55044-10b1-426f-9247-bb680e5fe0c8");
  write_seed(root, "fuzz_uuid", "braced", "{67E55044-10B1-426F-9247-BB680E5FE0C8}");
  write_seed(root, "fuzz_uuid", "urn", "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8");

  write_seed(root, "fuzz_crypto", "key", std::string(1, '\0') + std::string(fuzzing::kFuzzKeyHex));
  write_seed(root, "fuzz_crypto", "key-spaced",
             std::string(1, '\0') + "\xe2\x80\x83 " + std::string(fuzzing::kFuzzKeyHex) + "\t\n");
  static const uint8_t kPlain[] = {'a', ' ', 's', 'e', 'c', 'r', 'e', 't'};
  std::vector<uint8_t> sealed = {1};
  const std::vector<uint8_t> body = key.encrypt(kPlain);
  sealed.insert(sealed.end(), body.begin(), body.end());
  write_seed(root, "fuzz_crypto", "sealed", sealed);

  write_seed(root, "fuzz_tokenizer", "ascii",
             "The quick brown fox jumps over the lazy dog 42 times");
  write_seed(root, "fuzz_tokenizer", "latin", "Straße, ÉCOLE; naïve café — İstanbul");
  write_seed(root, "fuzz_tokenizer", "greek", "ΣΊΣΥΦΟΣ ὈΔΥΣΣΕΎΣ");
  write_seed(root, "fuzz_tokenizer", "cjk", "日本語のテキスト、한국어 텍스트 ٣٤٥ Ⅻ ½");
  write_seed(root, "fuzz_tokenizer", "ill-formed", "ab\xff\xfe cd\xed\xa0\x80 ef\xc3");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus-root>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const fuzzing::ScratchDirectory scratch;
  const auto key = fuzzing::fuzz_key();
  snapshot_seeds(root, scratch, *key);
  wal_seeds(root, scratch, key);
  text_seeds(root, *key);
  return 0;
}
