// The tokenizer shared by indexing and querying: full Unicode lower-casing,
// runs of alphanumeric characters, a byte-length floor and stop words.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine {

// The terms of one text, in text order with repetitions, as slices of one
// lower-cased copy of the text. Terms are stored as byte offsets, so the
// object can be moved freely; a view handed out lives as long as the object
// it came from (a view taken before a move may dangle).
class TokenizedText {
 public:
  // Byte range of one term inside lowered().
  struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    std::string_view operator*() const { return (*owner_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.index_ == b.index_;
    }

   private:
    friend class TokenizedText;
    const_iterator(const TokenizedText* owner, std::size_t index) : owner_(owner), index_(index) {}
    const TokenizedText* owner_ = nullptr;
    std::size_t index_ = 0;
  };

  std::size_t size() const { return spans_.size(); }
  bool empty() const { return spans_.empty(); }
  std::string_view operator[](std::size_t i) const {
    return std::string_view(lowered_).substr(spans_[i].begin, spans_[i].end - spans_[i].begin);
  }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, spans_.size()}; }

  // The whole lower-cased text the terms point into.
  const std::string& lowered() const { return lowered_; }

 private:
  friend TokenizedText tokenize(std::string_view text);
  std::string lowered_;
  std::vector<Span> spans_;
};

// The terms of `text`: the text is lower-cased with the full default Unicode
// mapping (final sigma included); every maximal run of alphanumeric
// characters (ASCII letters and digits; above U+007F the Alphabetic property
// or the general categories Nd, Nl, No) is a candidate; a candidate is kept
// when it is at least 2 bytes long in UTF-8 and not a stop word. Every other
// character, including ill-formed UTF-8 bytes, separates terms. Never fails;
// safe to call from any number of threads.
TokenizedText tokenize(std::string_view text);

}  // namespace tessarine
