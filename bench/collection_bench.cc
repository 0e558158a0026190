// Collection benchmark: the core's document and storage paths, each beside a
// baseline measured in the same run.
//
//   collection_bench [--quick] [--data PATH] [--dir PATH] [--only filter|snapshot]
//   collection_bench --core-insert FILE
//
// Sections:
//   filter    filtered vector search (50,000 of the real 384-d embeddings and
//             500 held-out ones as queries, or clustered 128-d vectors without
//             the data file; no filter and filters admitting 50%, 20%, 10%, 5%,
//             1% and 0.1%): queries/s and recall@10 of the graph walk, of the exact
//             scan of the admitted documents, and of the collection's search,
//             which plans between them, as a ratio to the better of the two.
//   snapshot  save and load of a 20,000 x 384 collection (ef_construction 64,
//             random unit vectors, the data file's texts and metadata), plain
//             (CRC-32) and sealed (AES-256-GCM), in MB/s beside plain file
//             writes (write + fsync) of the same number of bytes and a plain
//             read of the snapshot file from the page cache; rebuild time
//             beside the original build.
// --core-insert times insert_document for the documents of FILE (written by
// bench/python_api_bench.py, which compares the Python API with it) into a
// collection with the default configuration, and prints one line of
// key=value pairs.
//
// Texts come from the data file's descriptions (PATH defaults to
// ../shared/data/debian-packages.jsonl.gz from the repository root); without
// it, generated text is used. Vectors are clustered synthetic data from fixed
// seeds. In-memory work is timed in CPU time of this thread, so other
// processes sharing the machine distort the ratios less; file I/O is timed in
// wall time, since waiting for the disk is the point.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/float_order.h"
#include "core/base/hash_map.h"
#include "core/collection/collection_ops.h"
#include "core/collection/collection_search.h"
#include "core/collection/document.h"
#include "core/collection/filter.h"
#include "core/collection/filter_plan.h"
#include "core/collection/rebuild.h"
#include "core/db/database.h"
#include "core/distance/distance.h"
#include "core/format/checksum.h"
#include "core/format/crypto.h"
#include "core/format/persistence.h"
#include "core/format/snapshot_names.h"
#include "core/hnsw/search.h"
#include "npy_f16.h"

namespace tessarine {
namespace {

// ---- Clocks --------------------------------------------------------------

double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double wall_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The best wall time of `repeats` runs of `body`.
template <typename Body>
double best_wall(int repeats, Body&& body) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const double start = wall_now();
    body();
    best = std::min(best, wall_now() - start);
  }
  return best;
}

void print_ratio(const char* what, double ours, const char* baseline_name, double baseline,
                 const char* unit) {
  std::printf("  %-26s %10.1f %-6s  %-22s %10.1f %-6s  x%.2f\n", what, ours, unit, baseline_name,
              baseline, unit, ours / baseline);
}

// ---- Texts ---------------------------------------------------------------

// Decodes the JSON string starting at text[pos] (the opening quote) to UTF-8.
std::optional<std::string> json_string_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  const auto hex4 = [&](std::size_t at) -> std::optional<uint32_t> {
    if (at + 4 > text.size()) return std::nullopt;
    uint32_t v = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
      const char h = text[i];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= h - '0';
      else if (h >= 'a' && h <= 'f')
        v |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F')
        v |= h - 'A' + 10;
      else
        return std::nullopt;
    }
    return v;
  };
  for (++pos; pos < text.size();) {
    const char c = text[pos++];
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (pos >= text.size()) return std::nullopt;
    const char e = text[pos++];
    if (e == 'n')
      out.push_back('\n');
    else if (e == 't')
      out.push_back('\t');
    else if (e == 'r')
      out.push_back('\r');
    else if (e == 'b')
      out.push_back('\b');
    else if (e == 'f')
      out.push_back('\f');
    else if (e != 'u')
      out.push_back(e);  // \" \\ \/
    else {
      std::optional<uint32_t> cp = hex4(pos);
      if (!cp) return std::nullopt;
      pos += 4;
      if (*cp >= 0xD800 && *cp < 0xDC00 && text.substr(pos, 2) == "\\u") {
        const std::optional<uint32_t> low = hex4(pos + 2);
        if (low && *low >= 0xDC00 && *low < 0xE000) {
          *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          pos += 6;
        }
      }
      if (*cp >= 0xD800 && *cp < 0xE000) *cp = 0xFFFD;  // a lone surrogate
      if (*cp < 0x80) {
        out.push_back(static_cast<char>(*cp));
      } else if (*cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (*cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (*cp & 0x3F)));
      } else if (*cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (*cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((*cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (*cp & 0x3F)));
      } else {
        out.push_back(static_cast<char>(0xF0 | (*cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((*cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((*cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (*cp & 0x3F)));
      }
    }
  }
  return std::nullopt;
}

// The position just past the JSON string starting at text[pos] (the opening
// quote), or npos when it does not end.
std::size_t json_string_end(std::string_view text, std::size_t pos) {
  for (std::size_t i = pos + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// The flat "metadata" object of a data file line (strings, integers, floats
// and booleans); whatever does not parse ends it early.
Metadata json_metadata(std::string_view line) {
  Metadata metadata;
  constexpr std::string_view kKey = "\"metadata\"";
  std::size_t at = line.find(kKey);
  if (at != std::string_view::npos) at = line.find('{', at + kKey.size());
  if (at == std::string_view::npos) return metadata;
  ++at;
  const auto skip_blanks = [&](std::string_view blanks) {
    while (at < line.size() && blanks.find(line[at]) != std::string_view::npos) ++at;
  };
  for (;;) {
    skip_blanks(" \t,");
    if (at >= line.size() || line[at] != '"') return metadata;
    std::optional<std::string> key = json_string_at(line, at);
    at = json_string_end(line, at);
    if (!key || at == std::string_view::npos) return metadata;
    skip_blanks(" \t");
    if (at >= line.size() || line[at] != ':') return metadata;
    ++at;
    skip_blanks(" \t");
    if (at >= line.size()) return metadata;
    if (line[at] == '"') {
      std::optional<std::string> value = json_string_at(line, at);
      at = json_string_end(line, at);
      if (!value || at == std::string_view::npos) return metadata;
      metadata[std::move(*key)] = std::move(*value);
    } else if (line.substr(at, 4) == "true" || line.substr(at, 5) == "false") {
      const bool value = line[at] == 't';
      at += value ? 4 : 5;
      metadata[std::move(*key)] = value;
    } else {
      const std::size_t end = std::min(line.find_first_of(",}", at), line.size());
      const std::string number(line.substr(at, end - at));
      if (number.find_first_of(".eE") != std::string::npos) {
        metadata[std::move(*key)] = std::strtod(number.c_str(), nullptr);
      } else {
        metadata[std::move(*key)] = static_cast<int64_t>(std::strtoll(number.c_str(), nullptr, 10));
      }
      at = end;
    }
  }
}

// The "description" of every line of the data file, up to `limit`, and when
// `metadata` is given each line's metadata beside it. A quote inside a JSON
// string is escaped, so the key's text with its quotes can only be the key
// itself.
std::vector<std::string> read_descriptions(const std::string& path, std::size_t limit,
                                           std::vector<Metadata>* metadata = nullptr) {
  std::vector<std::string> texts;
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return texts;
  constexpr std::string_view kKey = "\"description\"";
  const auto take_line = [&](const std::string& line) {
    std::size_t at = line.find(kKey);
    if (at == std::string::npos) return;
    at = line.find_first_not_of(" \t", at + kKey.size());
    if (at == std::string::npos || line[at] != ':') return;
    at = line.find_first_not_of(" \t", at + 1);
    if (at == std::string::npos) return;
    if (std::optional<std::string> text = json_string_at(line, at)) {
      texts.push_back(std::move(*text));
      if (metadata != nullptr) metadata->push_back(json_metadata(line));
    }
  };
  std::string line;
  char chunk[1 << 16];
  while (texts.size() < limit && gzgets(file, chunk, sizeof chunk) != nullptr) {
    line += chunk;
    if (line.empty() || line.back() != '\n') continue;  // the line goes on
    take_line(line);
    line.clear();
  }
  if (!line.empty() && texts.size() < limit) take_line(line);  // a last line without newline
  gzclose(file);
  return texts;
}

// Zipf-like words of a generated vocabulary, about the length of a real
// description.
std::vector<std::string> generate_texts(std::size_t count) {
  std::mt19937 rng(7);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 5000; ++i) {
    std::string word;
    for (int j = 0, v = i * 7919 + 13; j < 3 + i % 8; ++j, v = v * 31 + 7) {
      word.push_back(static_cast<char>('a' + (v & 0x7fffffff) % 26));
    }
    vocabulary.push_back(std::move(word));
  }
  std::vector<double> weights(vocabulary.size());
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 / (i + 1);
  std::discrete_distribution<std::size_t> zipf(weights.begin(), weights.end());
  std::vector<std::string> texts(count);
  for (std::string& t : texts) {
    for (int w = 0; w < 55; ++w) t += vocabulary[zipf(rng)] + (w % 12 == 11 ? ". " : " ");
  }
  return texts;
}

std::vector<std::string> load_texts(const std::string& path, std::size_t count, bool* real) {
  std::vector<std::string> texts = read_descriptions(path, count);
  *real = !texts.empty();
  if (texts.empty()) texts = generate_texts(std::min<std::size_t>(count, 20000));
  return texts;
}

// ---- Vectors -------------------------------------------------------------

// Gaussian clusters: each row a random centre plus noise.
std::vector<float> clustered_vectors(std::size_t rows, std::size_t dim, std::size_t clusters,
                                     uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> centre_dist(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 1.5f);
  std::vector<float> centres(clusters * dim);
  for (float& x : centres) x = centre_dist(rng);
  std::vector<float> out(rows * dim);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t c = rng() % clusters;
    for (std::size_t j = 0; j < dim; ++j) out[i * dim + j] = centres[c * dim + j] + noise(rng);
  }
  return out;
}

std::span<const float> row(const std::vector<float>& v, std::size_t dim, std::size_t i) {
  return {v.data() + i * dim, dim};
}

// ---- Filtered search -----------------------------------------------------

struct Selectivity {
  const char* label;
  std::optional<int64_t> bucket_below;  // nothing: no filter at all
};

// The vectors the filtered search runs on: the data file's real sentence
// embeddings when they are beside it, else clustered synthetic ones.
struct FilterData {
  std::vector<float> base;     // documents, row-major
  std::vector<float> queries;  // held out: never inserted
  std::size_t dim = 0;
  std::string description;
};

FilterData filter_data(bool quick, const std::string& data) {
  const std::size_t n = quick ? 5000 : 50000;
  const std::size_t query_count = quick ? 200 : 500;
  FilterData out;
  const std::filesystem::path embeddings =
      std::filesystem::path(data).parent_path() / "emb" / "descriptions-minilm-384.f16.npy";
  if (auto m = bench::read_f16_npy(embeddings.string(), n + query_count);
      m && m->rows == n + query_count) {
    out.dim = m->cols;
    out.base.assign(m->values.begin(), m->values.begin() + n * out.dim);
    out.queries.assign(m->values.begin() + n * out.dim, m->values.end());
    out.description = "real sentence embeddings";
    return out;
  }
  // Queries are drawn from the same clusters as the documents (a query far
  // from every cluster has no meaningful nearest neighbours).
  out.dim = 128;
  out.base = clustered_vectors(n + query_count, out.dim, 100, 20240611);
  out.queries.assign(out.base.begin() + n * out.dim, out.base.end());
  out.base.resize(n * out.dim);
  out.description = "clustered synthetic vectors (embeddings file not found)";
  return out;
}

// The exact answer's k-th smallest distance among the admitted documents
// (float vectors), or +inf when fewer than k are admitted; and how many
// results a complete answer holds.
struct ExactAnswer {
  float kth_distance = 0;
  std::size_t size = 0;
};

ExactAnswer exact_filtered_answer(const Collection& collection,
                                  const std::vector<uint32_t>& row_of_internal,
                                  const std::vector<float>& base, std::size_t dim,
                                  std::span<const float> query, const Filter* filter, std::size_t k,
                                  std::vector<float>& scratch) {
  scratch.clear();
  const DistanceMetric metric = collection.hnsw.config.distance_metric;
  for (uint32_t id = 0; id < row_of_internal.size(); ++id) {
    if (filter != nullptr ? !passes_filter(collection, id, *filter)
                          : !collection.documents.contains(collection.internal_to_uuid[id])) {
      continue;
    }
    scratch.push_back(distance_exact(metric, query, row(base, dim, row_of_internal[id])));
  }
  ExactAnswer answer;
  answer.size = std::min(k, scratch.size());
  if (answer.size == 0) return answer;
  const auto closer = [](float a, float b) { return total_order_less(a, b); };
  std::nth_element(scratch.begin(), scratch.begin() + (answer.size - 1), scratch.end(), closer);
  answer.kth_distance = scratch[answer.size - 1];
  return answer;
}

// One strategy's figures over all queries.
struct StrategyRun {
  double queries_per_second = 0;
  double recall = 0;
};

// Recall counts a result as found when its exact distance to the query is
// within the exact k-th distance (plus a rounding margin): the real
// embeddings hold exact duplicates, and any copy of a tied neighbour is as
// right as another.
constexpr float kTieMargin = 1e-5f;

template <typename Search>
StrategyRun run_strategy(const Collection& collection, const std::vector<uint32_t>& row_of_internal,
                         const FilterData& data, const std::vector<ExactAnswer>& truth,
                         Search&& search) {
  const DistanceMetric metric = collection.hnsw.config.distance_metric;
  const std::size_t query_count = truth.size();
  std::vector<std::vector<uint32_t>> found(query_count);
  const double start = cpu_now();
  for (std::size_t q = 0; q < query_count; ++q) found[q] = search(row(data.queries, data.dim, q));
  const double elapsed = cpu_now() - start;
  std::size_t hits = 0, expected = 0;
  for (std::size_t q = 0; q < query_count; ++q) {
    expected += truth[q].size;
    std::size_t good = 0;
    for (uint32_t id : found[q]) {
      const float d = distance_exact(metric, row(data.queries, data.dim, q),
                                     row(data.base, data.dim, row_of_internal[id]));
      good += d <= truth[q].kth_distance + kTieMargin;
    }
    hits += std::min(good, truth[q].size);
  }
  return {query_count / elapsed, expected ? static_cast<double>(hits) / expected : 1.0};
}

std::vector<uint32_t> ids_of(const std::vector<DistanceId>& hits) {
  std::vector<uint32_t> out;
  out.reserve(hits.size());
  for (const auto& hit : hits) out.push_back(hit.second);
  return out;
}

// Each selectivity is searched three ways, each with the filter's admission
// through the metadata index: the graph walk that tests one bit per visited
// node, the exact scan of the admitted documents, and the planned search of
// the collection's filtered path, which picks one of the two. The plan
// should never lose to the better of the two.
void bench_filtered_search(bool quick, const std::string& data_path,
                           const std::vector<std::string>& texts) {
  constexpr std::size_t k = 10;
  const FilterData data = filter_data(quick, data_path);
  const std::size_t n = data.base.size() / data.dim;
  const std::size_t query_count = data.queries.size() / data.dim;
  const std::size_t dim = data.dim;

  // "bucket" takes each value of 0 .. 999 equally often (a shuffled
  // permutation), so "bucket < t" admits exactly t / 1000 of the documents
  // whenever n is a multiple of 1000.
  std::vector<uint32_t> permutation(n);
  std::iota(permutation.begin(), permutation.end(), 0u);
  std::shuffle(permutation.begin(), permutation.end(), std::mt19937_64(99));

  Database database;
  if (!database.create_collection("filtered", dim).ok()) return;
  const CollectionHandle handle = database.get_collection("filtered");
  HashMap<Uuid, uint32_t> row_of_uuid;
  const double build_start = cpu_now();
  for (uint32_t i = 0; i < n; ++i) {
    Metadata metadata;
    metadata["bucket"] = static_cast<int64_t>(permutation[i] % 1000);
    metadata["row"] = static_cast<int64_t>(i);
    Document document = Document::create(texts[i % texts.size()], std::move(metadata));
    row_of_uuid[document.id] = i;
    if (!insert_document(*handle, std::move(document), row(data.base, dim, i)).ok()) {
      std::printf("  insert %u failed\n", i);
      return;
    }
  }
  const double build = cpu_now() - build_start;
  const Collection& c = handle->data;
  std::printf(
      "\nFiltered vector search: %zu documents of dimension %zu (%s; cosine, default HNSW: m 16, "
      "ef_construction 200, ef_search 50), %zu held-out queries, k %zu, CPU time\n",
      n, dim, data.description.c_str(), query_count, k);
  std::printf("  built with insert_document in %.2f s CPU (%.0f documents/s)\n", build, n / build);

  std::vector<uint32_t> row_of_internal;
  for (const Uuid& id : c.internal_to_uuid) row_of_internal.push_back(row_of_uuid[id]);

  std::printf("  %-11s %-9s %-8s %-16s %-16s %-16s %-7s %s\n", "filter", "admitted", "admit us",
              "walk q/s (rec)", "scan q/s (rec)", "planned q/s (rec)", "plan", "planned / better");
  const Selectivity selectivities[] = {{"none", std::nullopt},
                                       {"50%", 500},
                                       {"20%", 200},
                                       {"10%", 100},
                                       {"5%", 50},
                                       {"1%", 10},
                                       {"0.1%", 1}};
  std::vector<float> scratch;
  for (const Selectivity& s : selectivities) {
    std::shared_lock guard(handle->lock);  // the two strategies run as any reader would
    std::optional<Filter> filter;
    if (s.bucket_below) {
      filter.emplace();
      filter->must.push_back(FilterCondition{
          "bucket", std::nullopt, JsonValue(static_cast<uint64_t>(*s.bucket_below)), FilterOp::Lt});
    }
    const Filter* f = filter ? &*filter : nullptr;
    std::vector<ExactAnswer> truth;
    for (std::size_t q = 0; q < query_count; ++q) {
      truth.push_back(exact_filtered_answer(c, row_of_internal, data.base, dim,
                                            row(data.queries, dim, q), f, k, scratch));
    }
    std::vector<uint32_t> all_live;
    for (uint32_t id = 0; id < c.internal_to_uuid.size(); ++id) {
      if (c.documents.contains(c.internal_to_uuid[id])) all_live.push_back(id);
    }
    const std::size_t admitted = f ? admit(c, *f).size() : all_live.size();
    double admit_seconds = 0;  // the filter's admission alone, part of both strategies
    if (f) {
      const double start = cpu_now();
      for (std::size_t q = 0; q < query_count; ++q) {
        if (admit(c, *f).size() != admitted) std::printf("  admission differs\n");
      }
      admit_seconds = (cpu_now() - start) / query_count;
    }

    const StrategyRun walk =
        run_strategy(c, row_of_internal, data, truth, [&](std::span<const float> query) {
          if (!f) return ids_of(knn_search(c.hnsw, query, k));
          const AdmittedSet set = admit(c, *f);
          return ids_of(
              knn_search_filtered(c.hnsw, query, k, [&](uint32_t id) { return set.contains(id); }));
        });
    const StrategyRun scan =
        run_strategy(c, row_of_internal, data, truth, [&](std::span<const float> query) {
          if (!f) return ids_of(knn_exact_among(c.hnsw, query, all_live, k));
          const AdmittedSet set = admit(c, *f);
          return ids_of(knn_exact_among(c.hnsw, query, set.ids, k));
        });
    const StrategyRun planned =
        run_strategy(c, row_of_internal, data, truth, [&](std::span<const float> query) {
          if (!f) return ids_of(knn_search(c.hnsw, query, k));
          return ids_of(filtered_knn(c, query, k, admit(c, *f), 0));
        });
    const bool scans = f && prefer_exact_scan(admitted, c.documents.size(), k, c.hnsw.config);
    const double better = std::max(walk.queries_per_second, scan.queries_per_second);
    std::printf("  %-11s %-9zu %-8.1f %7.0f (%.3f)  %7.0f (%.3f)  %7.0f (%.3f)  %-7s x%.2f\n",
                s.bucket_below ? (std::string("bucket ") + s.label).c_str() : "none", admitted,
                admit_seconds * 1e6, walk.queries_per_second, walk.recall, scan.queries_per_second,
                scan.recall, planned.queries_per_second, planned.recall,
                !f      ? "walk"
                : scans ? "scan"
                        : "walk",
                planned.queries_per_second / better);
  }
}

// ---- Snapshots and rebuild -----------------------------------------------

Status write_and_sync(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return Status(ErrorCode::kIo, std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return Status(ErrorCode::kIo, std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced ? Status() : Status(ErrorCode::kIo, "fsync failed");
}

std::vector<uint8_t> read_whole(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
  }
  ::close(fd);
  return bytes;
}

Metadata snapshot_metadata(uint32_t i) {
  static const char* kSections[] = {"libs", "utils", "devel", "python", "net", "doc"};
  Metadata metadata;
  metadata["bucket"] = static_cast<int64_t>(i % 1000);
  metadata["section"] = std::string(kSections[i % 6]);
  metadata["size_kib"] = static_cast<double>((i * 2654435761u) % 100000) / 7.0;
  metadata["essential"] = i % 97 == 0;
  return metadata;
}

// Random directions of unit length, from a fixed seed.
std::vector<float> unit_vectors(std::size_t rows, std::size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<float> out(rows * dim);
  for (std::size_t i = 0; i < rows; ++i) {
    float* v = out.data() + i * dim;
    double norm = 0;
    for (std::size_t j = 0; j < dim; ++j) {
      v[j] = gauss(rng);
      norm += double{v[j]} * v[j];
    }
    const auto scale = static_cast<float>(1.0 / std::sqrt(norm));
    for (std::size_t j = 0; j < dim; ++j) v[j] *= scale;
  }
  return out;
}

// What building a loaded collection's in-memory structures costs without
// reading, checking or decoding anything: deep copies of a loaded one, each
// into fresh memory (the copies are kept until the end, as loads keep theirs),
// on one thread. A load spreads the same building over two threads, so half of
// this bounds a load's time from below. Returns the best total in seconds.
double time_structure_copy(const Collection& loaded, int repeats) {
  std::vector<std::unique_ptr<Collection>> copies;
  double documents = 1e300, keywords = 1e300, vectors = 1e300, id_tables = 1e300, metadata = 1e300,
         total = 1e300;
  for (int r = 0; r < repeats; ++r) {
    auto& copy = copies.emplace_back(std::make_unique<Collection>());
    const auto start = std::chrono::steady_clock::now();
    const auto since = [](auto from) {
      return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    };
    auto step = start;
    const auto lap = [&](double& best) {
      best = std::min(best, since(step));
      step = std::chrono::steady_clock::now();
    };
    copy->documents.reserve(loaded.documents.size());
    for (const auto& [id, document] : loaded.documents) {
      copy->documents.emplace(id, std::make_shared<const Document>(*document));
    }
    lap(documents);
    copy->inverted_index = loaded.inverted_index;
    lap(keywords);
    copy->hnsw = loaded.hnsw;
    lap(vectors);
    copy->uuid_to_internal = loaded.uuid_to_internal;
    copy->internal_to_uuid = loaded.internal_to_uuid;
    lap(id_tables);
    rebuild_metadata_index(*copy);
    lap(metadata);
    total = std::min(total, since(start));
  }
  std::printf(
      "  copy of a loaded collection  %7.1f ms on one thread (documents %.1f, keyword index %.1f, "
      "vector index %.1f, id tables %.1f, metadata index %.1f): its structures built from memory, "
      "nothing read or checked\n",
      total * 1e3, documents * 1e3, keywords * 1e3, vectors * 1e3, id_tables * 1e3, metadata * 1e3);
  return total;
}

void bench_snapshots(bool quick, const std::string& data, const std::filesystem::path& dir) {
  const std::size_t n = quick ? 5000 : 20000;
  constexpr std::size_t dim = 384;
  const int repeats = quick ? 2 : 5;
  HnswConfig config;
  config.ef_construction = 64;  // defaults otherwise; keeps the build short
  const std::vector<float> base = unit_vectors(n, dim, 20240613);
  // The data file's descriptions with their metadata; generated ones without it.
  std::vector<Metadata> metadata;
  std::vector<std::string> texts = read_descriptions(data, n, &metadata);
  const bool real = !texts.empty();
  if (!real) texts = generate_texts(n);

  Database database;
  if (!database.create_collection("snapshot", dim, config).ok()) return;
  CollectionHandle handle = database.get_collection("snapshot");
  std::vector<Uuid> ids;
  const double build_start = cpu_now();
  for (uint32_t i = 0; i < n; ++i) {
    Document document = Document::create(
        texts[i % texts.size()], real ? metadata[i % metadata.size()] : snapshot_metadata(i));
    ids.push_back(document.id);
    if (!insert_document(*handle, std::move(document), row(base, dim, i)).ok()) return;
  }
  const double build = cpu_now() - build_start;
  std::printf(
      "\nSnapshots: %zu documents of dimension %zu (random unit vectors, %s texts and metadata; "
      "cosine, m 16, ef_construction 64, scalar codes only), best of %d, wall time, in %s\n",
      n, dim, real ? "real" : "generated", repeats, dir.c_str());
  std::printf("  built with insert_document in %.2f s CPU (%.0f documents/s)\n", build, n / build);

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::filesystem::path file = dir / snapshot_file_name("snapshot");
  const std::filesystem::path plain_file = dir / "plain-io.bin";

  // Plain CRC-32 snapshots, then sealed ones (the sealed save replaces the file).
  Result<std::shared_ptr<const EncryptionKey>> key = EncryptionKey::from_hex(std::string(64, '7'));
  if (!key.ok()) return;
  struct Mode {
    const char* save_label;
    const char* load_label;
    const EncryptionKey* key;
  };
  const Mode modes[] = {{"save (CRC-32)", "load (CRC-32)", nullptr},
                        {"save (AES-256-GCM)", "load (AES-256-GCM)", key->get()}};
  for (const Mode& mode : modes) {
    bool failed = false;
    const auto save_once = [&] {
      if (Status s = save_collection(*Env::posix(), handle, dir, mode.key); !s.ok()) {
        std::printf("  save failed: %s\n", s.message().c_str());
        failed = true;
      }
    };
    save_once();
    if (failed) return;
    const std::vector<uint8_t> bytes = read_whole(file);
    const double mb = bytes.size() / 1e6;
    uint64_t loaded_count = 0;
    std::vector<CollectionHandle> loaded_copies;  // freed after timing: freeing is not loading
    // Each round times a save beside its write + fsync baseline (and a load),
    // so that a busy machine slows them alike; the best round of each counts.
    double save = 1e300, plain_write = 1e300, load = 1e300, plain_read = 1e300;
    for (int r = 0; r < repeats && !failed; ++r) {
      save = std::min(save, best_wall(1, save_once));
      plain_write = std::min(plain_write, best_wall(1, [&] {
                               if (!write_and_sync(plain_file, bytes).ok()) failed = true;
                             }));
      load = std::min(load, best_wall(1, [&] {
                        Result<CollectionHandle> loaded =
                            load_collection(*Env::posix(), file, mode.key);
                        if (!loaded.ok()) {
                          std::printf("  load failed: %s\n", loaded.status().message().c_str());
                          failed = true;
                          return;
                        }
                        loaded_count = document_count(**loaded);
                        loaded_copies.push_back(std::move(*loaded));
                      }));
    }
    double copy = 0;
    if (mode.key == nullptr && !loaded_copies.empty()) {
      copy = time_structure_copy(loaded_copies.front()->data, repeats);
    }
    loaded_copies.clear();
    // Reads of the file into a buffer, back to back, as the page cache and
    // the allocator serve them at their best.
    plain_read = best_wall(repeats, [&] {
      if (read_whole(file).size() != bytes.size()) failed = true;
    });
    if (failed || loaded_count != n) {
      std::printf("  plain I/O or reload failed (%llu documents loaded)\n",
                  static_cast<unsigned long long>(loaded_count));
      return;
    }
    // What checking the frame alone costs (both save and load pay it once):
    // the CRC-32 over the whole record (the snapshot's own, on two threads),
    // or opening the AES-256-GCM seal.
    const double check = best_wall(repeats, [&] {
      if (mode.key == nullptr) {
        if (crc32_of(std::span(bytes).first(bytes.size() - 8)) == 0) std::printf(" ");
      } else if (!mode.key->decrypt(std::span(bytes).subspan(4)).ok()) {
        failed = true;
      }
    });
    if (mode.key == nullptr) std::printf("  snapshot file: %.1f MB\n", mb);
    print_ratio(mode.save_label, mb / save, "write + fsync", mb / plain_write, "MB/s");
    print_ratio(mode.load_label, mb / load, "read (page cache)", mb / plain_read, "MB/s");
    if (copy > 0) {
      std::printf(
          "    the copy above, halved for two threads, would be x%.2f of the read: the fastest a "
          "load building these structures can be\n",
          plain_read / (copy / 2));
    }
    std::printf("  %-26s %10.1f MB/s  (the frame check alone, in both save and load)\n",
                mode.key == nullptr ? "  CRC-32" : "  AES-256-GCM open", mb / check);
  }
  std::filesystem::remove(file, ec);
  std::filesystem::remove(plain_file, ec);

  // Rebuild after deleting every tenth document, as a compaction would run.
  for (std::size_t i = 0; i < ids.size(); i += 10) delete_document(*handle, ids[i]);
  const double rebuild_start = cpu_now();
  const uint64_t rebuilt = rebuild(*handle);
  const double rebuild_time = cpu_now() - rebuild_start;
  std::printf(
      "  rebuild of %llu live documents (every tenth deleted): %.2f s CPU (%.0f "
      "documents/s); original build %.2f s (%.0f documents/s)  x%.2f of the build time\n",
      static_cast<unsigned long long>(rebuilt), rebuild_time, rebuilt / rebuild_time, build,
      n / build, rebuild_time / build);

  // The keyword part alone: the rebuild renumbers the postings where the
  // build tokenized every text.
  std::shared_lock guard(handle->lock);
  const Collection& c = handle->data;
  std::vector<uint32_t> same_ids(c.inverted_index.doc_lengths.size());
  std::iota(same_ids.begin(), same_ids.end(), 0u);
  double start = cpu_now();
  const InvertedIndex derived =
      c.inverted_index.remapped(same_ids, static_cast<uint32_t>(same_ids.size()));
  const double derive_time = cpu_now() - start;
  start = cpu_now();
  InvertedIndex indexed;
  for_each_live_document(c, [&](uint32_t internal, const std::shared_ptr<const Document>& doc) {
    indexed.add_document(internal, doc->text);
  });
  const double index_time = cpu_now() - start;
  std::printf(
      "  keyword index of %zu documents: carried over %.1f ms CPU, indexed from the texts %.1f ms "
      "CPU  x%.3f (%zu and %zu terms)\n",
      same_ids.size(), derive_time * 1e3, index_time * 1e3, derive_time / index_time,
      derived.postings.size(), indexed.postings.size());
}

// ---- Core insertion for the Python comparison -----------------------------

// The document file of bench/python_api_bench.py, little-endian:
//   "TSBD", u32 count, u32 dimension, then per document:
//   u32 text length, text, u32 metadata entries, per entry: u32 key length,
//   key, u8 kind (0 bool, 1 int, 2 float, 3 string) and its value (u8, i64,
//   f64, or u32 length + bytes), then dimension float32 values.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }

  template <typename T>
  T number() {
    T value{};
    if (!take(sizeof value)) return value;
    std::memcpy(&value, bytes_.data() + pos_ - sizeof value, sizeof value);
    return value;
  }
  std::string text() {
    const uint32_t length = number<uint32_t>();
    if (!take(length)) return {};
    return std::string(reinterpret_cast<const char*>(bytes_.data() + pos_ - length), length);
  }

 private:
  bool take(std::size_t n) {
    if (!ok_ || bytes_.size() - pos_ < n) return ok_ = false;
    pos_ += n;
    return true;
  }
  std::span<const uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

struct PreparedDocument {
  std::string text;
  Metadata metadata;
  std::vector<float> embedding;
};

std::optional<std::vector<PreparedDocument>> read_document_file(const std::string& path,
                                                                uint32_t* dimension) {
  const std::vector<uint8_t> bytes = read_whole(path);
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "TSBD", 4) != 0) return std::nullopt;
  Reader reader(std::span<const uint8_t>(bytes).subspan(4));
  const uint32_t count = reader.number<uint32_t>();
  *dimension = reader.number<uint32_t>();
  if (*dimension == 0 || *dimension > (1u << 16)) return std::nullopt;
  std::vector<PreparedDocument> documents;
  for (uint32_t i = 0; i < count && reader.ok(); ++i) {
    PreparedDocument d;
    d.text = reader.text();
    const uint32_t entries = reader.number<uint32_t>();
    for (uint32_t e = 0; e < entries && reader.ok(); ++e) {
      std::string key = reader.text();
      switch (reader.number<uint8_t>()) {
        case 0:
          d.metadata[std::move(key)] = reader.number<uint8_t>() != 0;
          break;
        case 1:
          d.metadata[std::move(key)] = reader.number<int64_t>();
          break;
        case 2:
          d.metadata[std::move(key)] = reader.number<double>();
          break;
        case 3:
          d.metadata[std::move(key)] = reader.text();
          break;
        default:
          return std::nullopt;
      }
    }
    d.embedding.resize(*dimension);
    for (float& x : d.embedding) x = reader.number<float>();
    documents.push_back(std::move(d));
  }
  if (!reader.ok()) return std::nullopt;
  return documents;
}

int core_insert(const std::string& path) {
  uint32_t dimension = 0;
  std::optional<std::vector<PreparedDocument>> documents = read_document_file(path, &dimension);
  if (!documents) {
    std::fprintf(stderr, "collection_bench: cannot read document file %s\n", path.c_str());
    return 1;
  }
  Database database;
  if (!database.create_collection("core", dimension).ok()) return 1;
  const CollectionHandle handle = database.get_collection("core");
  // Timed: what the Python layer also does past conversion, from a fresh id
  // to the document stored in both indexes.
  const double cpu_start = cpu_now(), wall_start = wall_now();
  for (PreparedDocument& d : *documents) {
    Document document = Document::create(std::move(d.text), std::move(d.metadata));
    if (!insert_document(*handle, std::move(document), d.embedding).ok()) return 1;
  }
  const double cpu = cpu_now() - cpu_start, wall = wall_now() - wall_start;
  std::printf("core_insert documents=%zu dimension=%u cpu_seconds=%.6f wall_seconds=%.6f\n",
              documents->size(), dimension, cpu, wall);
  return 0;
}

// ---- Entry point -----------------------------------------------------------

int run(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it happens, even into a file
  std::string data = "../shared/data/debian-packages.jsonl.gz";
  std::string only;
  std::optional<std::filesystem::path> dir;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else if (arg == "--core-insert" && i + 1 < argc) {
      return core_insert(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--data PATH] [--dir PATH] [--only filter|snapshot]\n"
                   "       %s --core-insert FILE\n",
                   argv[0], argv[0]);
      return 2;
    }
  }
  bool real = false;
  const std::vector<std::string> texts = load_texts(data, quick ? 5000 : 100000, &real);
  std::printf("collection_bench: %zu %s texts%s\n", texts.size(),
              real ? "real" : "generated (data file not found)", quick ? " (--quick)" : "");
  if (only.empty() || only == "filter") bench_filtered_search(quick, data, texts);
  if (only.empty() || only == "snapshot") {
    const bool own_dir = !dir.has_value();
    if (own_dir) {
      dir = std::filesystem::temp_directory_path() /
            ("tessarine-collection-bench-" + std::to_string(::getpid()));
    }
    bench_snapshots(quick, data, *dir);
    std::error_code ec;
    if (own_dir) std::filesystem::remove_all(*dir, ec);
  }
  return 0;
}

}  // namespace
}  // namespace tessarine

int main(int argc, char** argv) { return tessarine::run(argc, argv); }
