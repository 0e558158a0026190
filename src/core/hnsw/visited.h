// Visited marks of one graph traversal, reused across traversals on one
// thread: a 16-bit generation per node instead of a cleared bitmap, so a new
// traversal costs nothing until the generation wraps (once every 65535).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessarine {

class VisitedSet {
 public:
  // Grows the stamp array to at least n nodes (never shrinks).
  void reserve(std::size_t n) {
    if (stamps_.size() < n) stamps_.resize(n, 0);
  }

  // Starts a traversal. At generation 65535 every stamp is cleared and the
  // generation restarts at 1, so no stale stamp can match.
  void begin();

  // Marks `id`; false when it was already visited in this traversal. An id
  // beyond the reserved size is a broken invariant (fatal).
  bool visit(uint32_t id) {
    if (id >= stamps_.size()) out_of_range(id);
    if (stamps_[id] == generation_) return false;
    stamps_[id] = generation_;
    return true;
  }

  std::size_t size() const { return stamps_.size(); }
  uint16_t generation() const { return generation_; }

 private:
  friend class VisitedLease;
  [[noreturn]] void out_of_range(uint32_t id) const;

  std::vector<uint16_t> stamps_;
  uint16_t generation_ = 0;
  bool borrowed_ = false;
};

// This thread's two visited sets: one for insertion, one for search.
VisitedSet& insert_visited();
VisitedSet& search_visited();

// Exclusive use of a visited set for one insertion or one search. A second
// borrow on the same thread while the first is alive is a broken invariant.
class VisitedLease {
 public:
  explicit VisitedLease(VisitedSet& set);
  ~VisitedLease() { set_.borrowed_ = false; }
  VisitedLease(const VisitedLease&) = delete;
  VisitedLease& operator=(const VisitedLease&) = delete;

  VisitedSet& get() { return set_; }

 private:
  VisitedSet& set_;
};

}  // namespace tessarine
