#include "core/collection/write_pipeline.h"

#include "core/base/fatal.h"

namespace tessarine {

bool WritePipeline::touches_pending(std::span<const Uuid> ids) const {
  std::lock_guard lock(mutex_);
  if (in_flight_.empty()) return false;
  for (const Uuid& id : ids) {
    if (in_flight_.contains(id)) return true;
  }
  return false;
}

uint64_t WritePipeline::enter(std::span<const Uuid> ids) {
  std::lock_guard lock(mutex_);
  for (const Uuid& id : ids) ++in_flight_[id];
  return next_ticket_++;
}

void WritePipeline::wait_for_turn(uint64_t ticket) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return left_ == ticket; });
}

void WritePipeline::leave(uint64_t ticket, std::span<const Uuid> ids) {
  {
    std::lock_guard lock(mutex_);
    if (left_ != ticket) fatal("a write left the pipeline out of turn");
    for (const Uuid& id : ids) {
      auto found = in_flight_.find(id);
      if (found != in_flight_.end() && --found->second == 0) in_flight_.erase(found);
    }
    ++left_;
  }
  changed_.notify_all();
}

void WritePipeline::wait_until_idle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return left_ == next_ticket_; });
}

}  // namespace tessarine
