// The keyword index of one collection: term -> postings, plus the document
// lengths and totals BM25 needs. Documents are identified by internal id.
// Field order is the persisted order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash_map.h"

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

  // Indexes one document's text under its internal id: records its length
  // (0 for a text without terms, which still counts in doc_count) and
  // appends one posting per distinct term. An id that is already indexed
  // with a non-zero length is removed first, so it is never listed twice.
  void add_document(uint32_t doc_id, std::string_view text);

  // Undoes add_document for a deleted document: when doc_id was indexed with
  // a non-zero length, zeroes its length, updates the totals and removes its
  // postings (and terms left without postings). A document whose text gave
  // no terms is left counted in doc_count.
  void remove_document(uint32_t doc_id);
};

}  // namespace tessarine
