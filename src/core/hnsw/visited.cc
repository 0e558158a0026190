#include "core/hnsw/visited.h"

#include <algorithm>
#include <string>

#include "core/base/fatal.h"
#include "core/base/thread_local_ref.h"

namespace tessarine {

void VisitedSet::begin() {
  if (generation_ == UINT16_MAX) {
    std::fill(stamps_.begin(), stamps_.end(), 0);
    generation_ = 1;
  } else {
    ++generation_;
  }
}

void VisitedSet::out_of_range(uint32_t id) const {
  fatal("graph node " + std::to_string(id) + " is beyond the visited set of " +
        std::to_string(stamps_.size()) + " nodes");
}

VisitedSet& insert_visited() {
  thread_local VisitedSet set;
  return thread_local_ref(set);
}

VisitedSet& search_visited() {
  thread_local VisitedSet set;
  return thread_local_ref(set);
}

VisitedLease::VisitedLease(VisitedSet& set) : set_(set) {
  if (set_.borrowed_) fatal("a visited set was borrowed twice on one thread");
  set_.borrowed_ = true;
}

}  // namespace tessarine
