// Helpers shared by the fuzz targets: a private scratch directory, the fixed
// key the sealed seeds were made with, and a workout for a collection that a
// parser accepted (so that accepting bad data shows up as a crash).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/fatal.h"
#include "core/collection/collection.h"
#include "core/collection/collection_ops.h"
#include "core/collection/collection_search.h"
#include "core/collection/rebuild.h"
#include "core/format/crypto.h"

namespace tessarine::fuzzing {

// The key of every sealed seed (and of the seeds' generator).
inline constexpr std::string_view kFuzzKeyHex =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

inline std::shared_ptr<const EncryptionKey> fuzz_key() {
  auto key = EncryptionKey::from_hex(kFuzzKeyHex);
  if (!key.ok()) fatal("fuzz key rejected: " + key.status().message());
  return *key;
}

// A directory of its own under $TMPDIR (or /tmp), removed at exit.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tessarine-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fatal("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

  // Removes everything inside, keeping the directory.
  void clear() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ignored)) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) fatal("cannot write " + file.string());
}

// Searches, reads, changes and rebuilds a collection that passed validation:
// a validated record must be usable as it is.
inline void exercise_collection(LockedCollection& collection) {
  const uint64_t dimension = collection.data.dimension;
  std::vector<Uuid> ids;
  std::string some_text;
  for (const auto& [id, document] : collection.data.documents) {
    ids.push_back(id);
    if (some_text.empty()) some_text = document->text;
  }

  SearchRequest keyword;
  keyword.query_text = some_text.empty() ? std::string("alpha") : some_text;
  keyword.k = 5;
  (void)search_collection(collection, keyword);

  for (const Uuid& id : ids) (void)get_document(collection, id);

  // Vector paths only for a dimension a caller could actually create.
  if (dimension == 0 || dimension > 512) return;
  std::vector<float> query(dimension);
  for (uint64_t i = 0; i < dimension; ++i) query[i] = 0.25f * static_cast<float>(i % 7) - 0.5f;

  SearchRequest vector;
  vector.query_embedding = query;
  vector.k = 4;
  (void)search_collection(collection, vector);
  SearchRequest filtered = vector;
  filtered.filter = Filter{};
  filtered.query_text = keyword.query_text;
  (void)search_collection(collection, filtered);

  (void)insert_document(collection, Document::create("fresh words here", {}), query);
  if (!ids.empty()) (void)delete_document(collection, ids.front());
  (void)search_collection(collection, vector);
  (void)rebuild(collection);
  (void)search_collection(collection, vector);
}

}  // namespace tessarine::fuzzing
