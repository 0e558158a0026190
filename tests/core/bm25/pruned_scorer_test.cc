// bm25_search skips documents and blocks by score bounds; bm25_search_exhaustive
// scores every posting. Both must give the same ids in the same order with
// bit-identical scores, on hand-picked queries and on generated corpora.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/bm25/scorer.h"

namespace tessarine {
namespace {

void expect_identical(const RankedList& pruned, const RankedList& reference,
                      const std::string& context) {
  ASSERT_EQ(pruned.size(), reference.size()) << context;
  for (std::size_t i = 0; i < pruned.size(); ++i) {
    EXPECT_EQ(pruned[i].first, reference[i].first) << context << " rank " << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(pruned[i].second),
              std::bit_cast<uint32_t>(reference[i].second))
        << context << " rank " << i << ": " << pruned[i].second << " vs " << reference[i].second;
  }
}

// Compares the two scorers and returns what the pruned one did.
Bm25SearchStats compare(const InvertedIndex& index, const std::string& query, uint64_t k,
                        const std::string& context = "") {
  Bm25SearchStats stats;
  const RankedList pruned = bm25_search(index, query, k, stats);
  const RankedList reference = bm25_search_exhaustive(index, query, k);
  expect_identical(pruned, reference, context + " query \"" + query + "\" k " + std::to_string(k));
  EXPECT_EQ(bm25_search(index, query, k), pruned);
  return stats;
}

// About 400 documents, so that the common terms' lists span several blocks:
// "common" in most of them, "mid" in a third, "rare" in a few (once with a
// high count), "tie" in 40 identical short documents, and filler words.
InvertedIndex small_corpus() {
  InvertedIndex index;
  std::mt19937 rng(7);
  uint32_t id = 0;
  for (; id < 360; ++id) {
    std::string text;
    const int length = 1 + static_cast<int>(rng() % 30);
    for (int i = 0; i < length; ++i) {
      const uint32_t r = rng() % 100;
      if (r < 25) {
        text += "common ";
      } else if (r < 32) {
        text += "mid ";
      } else if (r < 33) {
        text += "rare ";
      } else {
        text.append("word").append(std::to_string(rng() % 40)).append(" ");
      }
    }
    if (id % 50 == 7) text += "the of and il ";  // stop words are not terms
    index.add_document(id, text);
  }
  for (; id < 400; ++id) index.add_document(id, "tie common");
  std::string burst;  // the highest "rare" count, in a document of its own
  for (int i = 0; i < 60; ++i) burst += "rare ";
  index.add_document(id, burst);
  return index;
}

struct Case {
  std::string query;
  uint64_t k;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"common", 1},
      {"common", 3},
      {"common", 10},
      {"mid", 5},
      {"rare", 2},
      {"rare", 1000},  // k beyond the matches
      {"common common mid", 5},
      {"mid common mid rare mid", 4},  // repeated terms, not adjacent
      {"rare mid common", 10},
      {"word1 word2 word3 word4 word5 word6 word7 word8 word9 word10 word11 common mid rare", 10},
      {"tie", 3},  // 40 equal scores: the three highest ids
      {"tie common", 7},
      {"tie tie", 40},
      {"the of and il della", 10},  // stop words only
      {"zzunknown qqunknown", 10},  // unknown terms
      {"zzunknown common qqunknown", 4},
      {"common", 0},
      {"", 5},
  };
  return table;
}

TEST(Bm25Pruning, SameResultsAsExhaustiveOnATableOfQueries) {
  const InvertedIndex index = small_corpus();
  for (const Case& c : cases()) compare(index, c.query, c.k);

  // Pruning does skip: once a rare term's documents fill the top 3, the
  // frequent terms' documents need few full scores.
  const Bm25SearchStats stats = compare(index, "rare mid common", 3);
  EXPECT_FALSE(stats.exhaustive);
  EXPECT_LT(stats.scored, stats.postings / 2);
}

TEST(Bm25Pruning, SameResultsAfterRemovalsAndOutOfOrderAdds) {
  InvertedIndex index = small_corpus();
  // Remove the current best documents of several queries, so that bounds
  // computed from them go stale, and documents at block edges.
  for (const char* query : {"common", "rare", "mid", "tie"}) {
    for (const auto& [id, score] : bm25_search_exhaustive(index, query, 3)) {
      index.remove_document(id);
    }
  }
  for (uint32_t id : {0u, 63u, 64u, 127u, 128u, 399u}) index.remove_document(id);
  for (const Case& c : cases()) compare(index, c.query, c.k, "after removals");

  // A removed id indexed again is listed last, out of id order: the lists
  // holding it are scored exhaustively, with the same result.
  index.add_document(64, "common common common rare");
  for (const Case& c : cases()) compare(index, c.query, c.k, "after an out-of-order add");
  EXPECT_TRUE(compare(index, "rare", 3).exhaustive);
  EXPECT_FALSE(compare(index, "mid", 3).exhaustive);
}

TEST(Bm25Pruning, ListsGivenWholeSearchTheSameBeforeAndAfterRefresh) {
  // A loaded snapshot fills the fields directly; its bounds are loose until
  // refresh_bounds().
  const InvertedIndex built = small_corpus();
  InvertedIndex loaded;
  for (const auto& [term, list] : built.postings) loaded.postings[term] = list.entries();
  loaded.doc_lengths = built.doc_lengths;
  loaded.doc_count = built.doc_count;
  loaded.total_length = built.total_length;
  for (const Case& c : cases()) {
    expect_identical(bm25_search(loaded, c.query, c.k), bm25_search(built, c.query, c.k),
                     "loaded: " + c.query);
  }
  loaded.refresh_bounds();
  for (const Case& c : cases()) {
    expect_identical(bm25_search(loaded, c.query, c.k), bm25_search(built, c.query, c.k),
                     "refreshed: " + c.query);
  }
}

// Generated corpora of varied shapes: few or many distinct words, short or
// long texts, bursts of one word, duplicate texts (ties), removals and
// re-added ids; queries of 1 to 9 words with repetitions, unknown words and
// stop words.
TEST(Bm25Pruning, SameResultsOnGeneratedCorpora) {
  std::mt19937 rng(20240611);
  uint64_t postings = 0;
  uint64_t scored = 0;
  for (int corpus = 0; corpus < 40; ++corpus) {
    const uint32_t vocabulary = 3 + rng() % 200;
    const uint32_t documents = 1 + rng() % 700;
    const uint32_t max_length = 1 + rng() % 40;
    const auto word = [](uint32_t i) { return std::string("w").append(std::to_string(i)); };
    // Skewed toward low word numbers, so some lists are long.
    const auto pick = [&] {
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      return static_cast<uint32_t>(vocabulary * u * u * u) % vocabulary;
    };
    InvertedIndex index;
    std::vector<std::string> texts;
    for (uint32_t id = 0; id < documents; ++id) {
      std::string text;
      if (!texts.empty() && rng() % 8 == 0) {
        text = texts[rng() % texts.size()];  // a duplicate: equal scores
      } else {
        const uint32_t length = rng() % (max_length + 1);
        for (uint32_t i = 0; i < length; ++i) text.append(word(pick())).append(" ");
        if (rng() % 20 == 0) {
          const std::string burst = word(pick()).append(" ");
          for (uint32_t i = 0, n = rng() % 100; i < n; ++i) text += burst;
        }
        if (rng() % 10 == 0) text += "the and of ";
      }
      texts.push_back(text);
      index.add_document(id, text);
    }
    for (uint32_t i = 0, n = documents / 10; i < n; ++i) index.remove_document(rng() % documents);
    if (corpus % 4 == 3) {
      // Some ids indexed again after their removal: out of order.
      for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t id = rng() % documents;
        if (index.doc_lengths[id] == 0) {
          index.add_document(id, word(pick()).append(" ").append(word(pick())));
        }
      }
    }

    for (int q = 0; q < 60; ++q) {
      std::string query;
      for (uint32_t i = 0, n = 1 + rng() % 9; i < n; ++i) {
        const uint32_t r = rng() % 20;
        query.append(r == 0   ? std::string("unknownword")
                     : r == 1 ? std::string("the")
                              : word(pick()));
        query.append(" ");
        if (rng() % 6 == 0) {
          const std::string first = query.substr(0, query.find(' ') + 1);
          query.append(first);  // a repetition
        }
      }
      static constexpr uint64_t kKs[] = {1, 2, 3, 5, 10, 20, 100, 100000};
      const uint64_t k = kKs[rng() % std::size(kKs)];
      const Bm25SearchStats stats = compare(index, query, k, "corpus " + std::to_string(corpus));
      postings += stats.postings;
      scored += stats.scored;
      if (HasFailure()) return;
    }
  }
  // The comparison exercised pruning, not only exhaustive scoring.
  EXPECT_LT(scored, postings / 2);
}

}  // namespace
}  // namespace tessarine
