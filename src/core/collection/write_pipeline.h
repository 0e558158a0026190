// Order among writes to one collection that overlap on their way through the
// database's log.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>

#include "core/base/hash_map.h"
#include "core/collection/document.h"

namespace tessarine {

// A write that does not need the collection to itself takes a ticket when it
// takes its place in the log (both under the collection's write_mutex, so
// tickets follow log order), waits for the disk without that mutex, and
// applies its change when every earlier ticket has left: memory gets the
// changes in the order the log holds them. The documents of the writes in
// flight are known, so that a write touching one of them can wait for them
// to be applied first and be checked against their result.
class WritePipeline {
 public:
  // Under write_mutex: whether a write in flight touches any of `ids`.
  bool touches_pending(std::span<const Uuid> ids) const;
  // Under write_mutex: the next ticket; `ids` are in flight until it leaves.
  uint64_t enter(std::span<const Uuid> ids);
  // Returns once every ticket before `ticket` has left.
  void wait_for_turn(uint64_t ticket);
  // After wait_for_turn(ticket), whether or not the change was applied: the
  // ticket's `ids` (those given to enter) are no longer in flight and the next
  // ticket may go.
  void leave(uint64_t ticket, std::span<const Uuid> ids);
  // Returns once every ticket taken so far has left.
  void wait_until_idle();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t next_ticket_ = 0;
  uint64_t left_ = 0;                  // every ticket below this has left
  HashMap<Uuid, uint32_t> in_flight_;  // how many writes in flight touch each id
};

// One write's ticket, taken under the collection's write_mutex. However the
// write ends (applied, failed or unwound), the ticket leaves the pipeline in
// its turn when it goes away, so later writes never wait for it forever.
class PipelineTicket {
 public:
  PipelineTicket(WritePipeline& pipeline, std::span<const Uuid> ids)
      : pipeline_(pipeline), ids_(ids), number_(pipeline.enter(ids)) {}
  ~PipelineTicket() {
    wait_for_turn();
    pipeline_.leave(number_, ids_);
  }
  PipelineTicket(const PipelineTicket&) = delete;
  PipelineTicket& operator=(const PipelineTicket&) = delete;

  // Returns once every earlier ticket has left.
  void wait_for_turn() {
    if (in_turn_) return;
    pipeline_.wait_for_turn(number_);
    in_turn_ = true;
  }

 private:
  WritePipeline& pipeline_;
  std::span<const Uuid> ids_;  // the caller's, alive as long as the ticket
  uint64_t number_;
  bool in_turn_ = false;
};

}  // namespace tessarine
