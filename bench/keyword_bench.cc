// Keyword engine benchmark: tokenizer throughput, BM25 indexing throughput
// and BM25 query latency on real package descriptions, each beside a simple
// baseline measured in the same run. The pruned query path is also timed
// beside the exhaustive scorer on the same queries, with its results checked
// to be identical.
//
//   keyword_bench [--data PATH | PATH] [--quick]
//
// PATH defaults to ../shared/data/debian-packages.jsonl.gz (relative to the
// repository root); without the file, generated text is used instead.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/bm25/scorer.h"
#include "core/bm25/tokenizer.h"

namespace tessarine {
namespace {

struct Record {
  std::string synopsis;
  std::string description;
};

// ---- A small reader for the JSON lines of the data file ----------------

class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : text_(text) {}

  bool consume(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A JSON string with its escapes decoded to UTF-8.
  std::optional<std::string> string() {
    if (!consume('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'u': {
          std::optional<uint32_t> cp = hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            std::optional<uint32_t> low = hex4();
            if (!low) return std::nullopt;
            if (*low >= 0xDC00 && *low < 0xE000) {
              *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
            }
          }
          append_utf8(*cp, out);
          break;
        }
        default:
          out.push_back(e);
          break;  // \" \\ \/
      }
    }
    return std::nullopt;
  }

  // Skips any value: strings, nested objects and arrays, numbers, literals.
  bool skip_value() {
    skip_space();
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') return string().has_value();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++pos_;
      if (consume(close)) return true;
      do {
        if (c == '{' && !(string() && consume(':'))) return false;
        if (!skip_value()) return false;
      } while (consume(','));
      return consume(close);
    }
    while (pos_ < text_.size() && !std::strchr(",}] \t\r\n", text_[pos_])) ++pos_;
    return true;
  }

 private:
  void skip_space() {
    while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_]) && text_[pos_] != '\0')
      ++pos_;
  }

  std::optional<uint32_t> hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
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
  }

  static void append_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// The "synopsis" and "description" of one line, or nothing for a line that
// is not an object with both.
std::optional<Record> parse_record(std::string_view line) {
  JsonCursor cursor(line);
  if (!cursor.consume('{')) return std::nullopt;
  Record record;
  bool has_synopsis = false, has_description = false;
  if (cursor.consume('}')) return std::nullopt;
  do {
    std::optional<std::string> key = cursor.string();
    if (!key || !cursor.consume(':')) return std::nullopt;
    if (*key == "synopsis" || *key == "description") {
      std::optional<std::string> value = cursor.string();
      if (!value) return std::nullopt;
      if (*key == "synopsis") {
        record.synopsis = std::move(*value);
        has_synopsis = true;
      } else {
        record.description = std::move(*value);
        has_description = true;
      }
    } else if (!cursor.skip_value()) {
      return std::nullopt;
    }
  } while (cursor.consume(','));
  if (!has_synopsis || !has_description) return std::nullopt;
  return record;
}

std::vector<Record> read_records(const std::string& path, std::size_t limit) {
  std::vector<Record> records;
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return records;
  std::string line;
  char chunk[1 << 16];
  while (records.size() < limit && gzgets(file, chunk, sizeof chunk) != nullptr) {
    line += chunk;
    if (line.empty() || line.back() != '\n') continue;  // the line goes on
    if (std::optional<Record> record = parse_record(line)) records.push_back(std::move(*record));
    line.clear();
  }
  if (!line.empty() && records.size() < limit) {
    if (std::optional<Record> record = parse_record(line)) records.push_back(std::move(*record));
  }
  gzclose(file);
  return records;
}

// Zipf-distributed words, a few of them outside ASCII, for runs without the file.
std::vector<Record> generate_records(std::size_t count) {
  std::mt19937 rng(42);
  std::vector<std::string> vocabulary;
  const char* extra[] = {"Straße", "café", "ΟΔΟΣ", "naïve", "中文", "Ελλάδα", "résumé", "Köln"};
  for (int i = 0; i < 20000; ++i) {
    std::string word;
    int n = 3 + i % 8;
    for (int j = 0, v = i * 7919 + 13; j < n; ++j, v = v * 31 + 7) {
      word.push_back(static_cast<char>('a' + (v & 0x7fffffff) % 26));
    }
    vocabulary.push_back(i % 500 == 0 ? std::string(extra[(i / 500) % 8]) : word);
  }
  std::vector<double> weights(vocabulary.size());
  for (std::size_t i = 0; i < weights.size(); ++i) weights[i] = 1.0 / (i + 1);
  std::discrete_distribution<std::size_t> zipf(weights.begin(), weights.end());
  std::vector<Record> records(count);
  for (Record& r : records) {
    for (int w = 0; w < 55; ++w)
      r.description += vocabulary[zipf(rng)] + (w % 12 == 11 ? ".\n" : " ");
    for (int w = 0; w < 5; ++w) r.synopsis += vocabulary[zipf(rng)] + " ";
  }
  return records;
}

// ---- Baselines -----------------------------------------------------------

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

std::vector<std::string_view> whitespace_split(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// The plain way to build the index: copy every term, count in a std::map-like
// table, append to a std::unordered_map of posting lists.
struct PlainIndex {
  std::unordered_map<std::string, std::vector<Posting>> postings;
  std::vector<uint32_t> doc_lengths;
  uint64_t total_length = 0;

  void add(uint32_t doc_id, std::string_view text) {
    std::unordered_map<std::string, uint32_t> counts;
    uint32_t n = 0;
    for (std::string_view term : tokenize(text)) {
      ++counts[std::string(term)];
      ++n;
    }
    doc_lengths.resize(std::max<std::size_t>(doc_lengths.size(), doc_id + 1));
    doc_lengths[doc_id] = n;
    total_length += n;
    for (const auto& [term, count] : counts) postings[term].push_back({doc_id, count});
  }
};

// The straightforward scorer: walk every posting list of the index, score
// the lists of query terms into one slot per document, sort everything.
RankedList scan_all_postings(const InvertedIndex& index, std::string_view query, uint64_t k) {
  std::unordered_map<std::string, int> query_counts;
  for (std::string_view term : tokenize(query)) ++query_counts[std::string(term)];
  RankedList result;
  if (query_counts.empty() || index.doc_count == 0) return result;
  const float n = static_cast<float>(index.doc_count);
  const float avgdl = static_cast<float>(index.total_length) / n;
  std::vector<float> scores(index.doc_lengths.size(), 0.0f);
  for (const auto& [term, list] : index.postings) {
    auto q = query_counts.find(std::string(term));
    if (q == query_counts.end()) continue;
    const float df = static_cast<float>(list.size());
    const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (int repeat = 0; repeat < q->second; ++repeat) {
      for (const Posting& p : list) {
        const float dl = static_cast<float>(index.doc_lengths[p.doc_id]);
        const float tf = static_cast<float>(p.term_freq);
        const float x = (dl * 0.75f) / avgdl + 0.25f;
        scores[p.doc_id] += (tf * 2.2f) / (x * 1.2f + tf) * idf;
      }
    }
  }
  for (uint32_t id = 0; id < scores.size(); ++id) {
    if (scores[id] > 0.0f) result.emplace_back(id, scores[id]);
  }
  std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) {
    return a.second > b.second || (a.second == b.second && a.first > b.first);
  });
  if (result.size() > k) result.resize(k);
  return result;
}

// ---- Timing --------------------------------------------------------------

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best of `repeats` runs of `body`, in seconds.
template <typename Body>
double best_time(int repeats, Body&& body) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    body();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

volatile std::size_t g_sink;  // keeps results alive so the work is not optimised away

void print_ratio(const char* what, double ours, double baseline, const char* unit,
                 bool higher_is_better) {
  const double ratio = higher_is_better ? ours / baseline : baseline / ours;
  std::printf("  %-34s %12.2f %-8s baseline %12.2f %-8s  x%.2f\n", what, ours, unit, baseline, unit,
              ratio);
}

void bench_tokenizer(const char* label, const std::vector<std::string>& texts, int repeats) {
  std::size_t bytes = 0;
  for (const std::string& t : texts) bytes += t.size();
  const double ours = best_time(repeats, [&] {
    std::size_t terms = 0;
    for (const std::string& t : texts) terms += tokenize(t).size();
    g_sink = terms;
  });
  const double plain = best_time(repeats, [&] {
    std::size_t words = 0;
    for (const std::string& t : texts) words += whitespace_split(t).size();
    g_sink = words;
  });
  const double mb = bytes / 1e6;
  std::printf("tokenizer, %s (%.1f MB in %zu texts):\n", label, mb, texts.size());
  print_ratio("tokenize vs whitespace split", mb / ours, mb / plain, "MB/s", true);
}

int run(int argc, char** argv) {
  std::string path = "../shared/data/debian-packages.jsonl.gz";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--data" && i + 1 < argc) {
      path = argv[++i];
    } else if (arg.substr(0, 7) == "--data=") {
      path = std::string(arg.substr(7));
    } else if (!arg.empty() && arg[0] != '-') {
      path = std::string(arg);
    } else {
      std::fprintf(stderr, "usage: %s [--data PATH | PATH] [--quick]\n", argv[0]);
      return 2;
    }
  }
  const std::size_t limit = quick ? 5000 : SIZE_MAX;
  std::vector<Record> records = read_records(path, limit);
  const bool real = !records.empty();
  if (!real) records = generate_records(quick ? 5000 : 63350);
  std::printf("keyword_bench: %zu %s records%s\n", records.size(),
              real ? "real" : "generated (data file not found)", quick ? " (--quick)" : "");
  const int repeats = quick ? 2 : 3;

  // Tokenizer.
  std::vector<std::string> descriptions;
  descriptions.reserve(records.size());
  for (const Record& r : records) descriptions.push_back(r.description);
  bench_tokenizer("descriptions", descriptions, repeats);
  {
    // The same words lifted out of ASCII: every word upper-cased with a
    // Greek or accented letter appended, so every text takes the ICU path.
    std::vector<std::string> mixed;
    const std::size_t count = std::min<std::size_t>(descriptions.size(), quick ? 2000 : 10000);
    const char* marks[] = {"Σ", "É", "Ö", "Ñ"};
    for (std::size_t i = 0; i < count; ++i) {
      std::string text;
      std::size_t w = 0;
      for (std::string_view word : whitespace_split(descriptions[i])) {
        text.append(word);
        text.append(marks[w++ % 4]);
        text.push_back(' ');
      }
      mixed.push_back(std::move(text));
    }
    bench_tokenizer("non-ASCII in every word", mixed, repeats);
  }

  // Indexing.
  std::size_t bytes = 0;
  for (const std::string& d : descriptions) bytes += d.size();
  InvertedIndex index;
  const double index_time = best_time(1, [&] {
    for (uint32_t id = 0; id < descriptions.size(); ++id) index.add_document(id, descriptions[id]);
  });
  const double plain_time = best_time(1, [&] {
    PlainIndex plain;
    for (uint32_t id = 0; id < descriptions.size(); ++id) plain.add(id, descriptions[id]);
    g_sink = plain.postings.size();
  });
  std::printf(
      "BM25 indexing (%zu documents, %zu terms, %llu postings of %llu term occurrences):\n",
      descriptions.size(), index.postings.size(),
      [&] {
        unsigned long long n = 0;
        for (const auto& [t, l] : index.postings) n += l.size();
        return n;
      }(),
      static_cast<unsigned long long>(index.total_length));
  print_ratio("add_document vs std:: containers", descriptions.size() / index_time / 1e3,
              descriptions.size() / plain_time / 1e3, "kdoc/s", true);
  print_ratio("  same, as text throughput", bytes / index_time / 1e6, bytes / plain_time / 1e6,
              "MB/s", true);

  // Queries: every synopsis (a subset for the slow baseline).
  constexpr uint64_t k = 10;
  std::vector<double> latencies;
  latencies.reserve(records.size());
  std::size_t hits_at_1 = 0, hits_at_10 = 0;
  for (uint32_t id = 0; id < records.size(); ++id) {
    const auto start = Clock::now();
    const RankedList result = bm25_search(index, records[id].synopsis, k);
    latencies.push_back(seconds_since(start) * 1e6);
    for (std::size_t r = 0; r < result.size(); ++r) {
      if (result[r].first != id) continue;
      hits_at_1 += r == 0;
      ++hits_at_10;
    }
  }
  const std::size_t baseline_queries = std::min<std::size_t>(records.size(), quick ? 100 : 2000);
  // Spread the baseline's queries over the whole set.
  const std::size_t stride = records.size() / baseline_queries;
  double ours_subset = 0, baseline_subset = 0, exhaustive_subset = 0;
  std::size_t agree = 0, identical = 0;
  uint64_t postings_read = 0, documents_scored = 0;
  for (std::size_t q = 0; q < baseline_queries; ++q) {
    const std::string& query = records[q * stride].synopsis;
    auto start = Clock::now();
    const RankedList ours = bm25_search(index, query, k);
    ours_subset += seconds_since(start);
    start = Clock::now();
    const RankedList exhaustive = bm25_search_exhaustive(index, query, k);
    exhaustive_subset += seconds_since(start);
    start = Clock::now();
    const RankedList plain = scan_all_postings(index, query, k);
    baseline_subset += seconds_since(start);
    // The pruned scorer must give the exhaustive result bit for bit.
    identical += ours == exhaustive;
    Bm25SearchStats stats;
    (void)bm25_search(index, query, k, stats);
    postings_read += stats.postings;
    documents_scored += stats.scored;
    // Same scores in the same order (ids may differ only among ties). The
    // baseline adds a document's terms in another order, so the last bits
    // of a sum may differ.
    bool same = ours.size() == plain.size();
    for (std::size_t r = 0; same && r < ours.size(); ++r) {
      same = std::abs(ours[r].second - plain[r].second) <= 1e-5f * plain[r].second;
    }
    agree += same;
  }
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  double mean = 0;
  for (double l : latencies) mean += l;
  mean /= latencies.size();
  std::printf("BM25 queries (synopses, k = %llu, %zu queries):\n",
              static_cast<unsigned long long>(k), latencies.size());
  std::printf("  latency: mean %.1f us, p50 %.1f us, p99 %.1f us, max %.1f us\n", mean,
              sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100], sorted.back());
  print_ratio("bm25_search vs scan of all postings", ours_subset / baseline_queries * 1e6,
              baseline_subset / baseline_queries * 1e6, "us/query", false);
  std::printf("  baseline on %zu queries; the same scores on %zu of them\n", baseline_queries,
              agree);
  print_ratio("bm25_search vs exhaustive scoring", ours_subset / baseline_queries * 1e6,
              exhaustive_subset / baseline_queries * 1e6, "us/query", false);
  std::printf(
      "  identical results (ids, order, score bits) on %zu of %zu queries; %.1f%% of the\n"
      "  %.0f postings per query led to a full score\n",
      identical, baseline_queries, 100.0 * documents_scored / std::max<uint64_t>(postings_read, 1),
      static_cast<double>(postings_read) / baseline_queries);
  std::printf("  own description found: %.1f%% at rank 1, %.1f%% in the top %llu\n",
              100.0 * hits_at_1 / records.size(), 100.0 * hits_at_10 / records.size(),
              static_cast<unsigned long long>(k));
  return 0;
}

}  // namespace
}  // namespace tessarine

int main(int argc, char** argv) { return tessarine::run(argc, argv); }
