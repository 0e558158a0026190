// The keyword index of one collection: term -> postings, plus the document
// lengths and totals BM25 needs. Documents are identified by internal id.
// Field order is the persisted order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/hash_map.h"

namespace tessarine {

struct Posting {
  uint32_t doc_id = 0;
  uint32_t term_freq = 0;

  friend bool operator==(const Posting&, const Posting&) = default;
};

struct InvertedIndex {
  HashMap<std::string, std::vector<Posting>> postings;
  std::vector<uint32_t> doc_lengths;  // indexed by internal id; 0 when never indexed or removed
  uint32_t doc_count = 0;
  uint64_t total_length = 0;
};

}  // namespace tessarine
