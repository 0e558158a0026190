// The graph's links in flat arrays. Layer 0, which every node has and every
// search walks, is one fixed-stride array: node i's slot starts at
// i * (capacity + 1) and holds the list's length, then the ids. The upper
// layers, which few nodes reach, share a second fixed-stride array in which a
// node's lists for layers 1 .. top lie one after the other. A hop thus reads
// one slot in one array instead of following two pointers, and a node costs
// no heap block of its own.
//
// A slot holds the configured width, at most kMaxSlotCapacity ids: a huge
// width (m can be anything) or a crafted snapshot must not make every node
// reserve room that no list uses. A longer list moves to a side table; its
// slot keeps the length and, in place of the first id, the list's index there.
// Snapshots keep the lists node by node; the codec reads them into the slots
// (add_node, set_list) and writes them out through list(). The nested form
// (NeighborLists) is for building and inspecting graphs by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/base/prefetch.h"

namespace tessarine {

// lists[i][l]: the ids linked from node i on layer l.
using NeighborLists = std::vector<std::vector<std::vector<uint32_t>>>;

class Adjacency {
 public:
  static constexpr uint64_t kMaxSlotCapacity = 256;
  static constexpr uint64_t kMaxLists = 256;  // levels are one byte

  Adjacency() : Adjacency(1, 1) {}
  // Slots sized for lists of base_width (layer 0) and upper_width ids.
  Adjacency(uint64_t base_width, uint64_t upper_width);

  // Any nested form, including one that breaks the graph's invariants (the
  // snapshot validation reads it back through the accessors).
  static Adjacency from_lists(const NeighborLists& lists, uint64_t base_width,
                              uint64_t upper_width);
  NeighborLists to_lists() const;

  std::size_t node_count() const { return layer_counts_.size(); }
  // The number of lists node `node` has (its top level + 1 in a valid graph).
  uint64_t layer_count(uint32_t node) const { return layer_counts_[node]; }

  // Node `node`'s list on `layer`; `layer` < layer_count(node), except that
  // layer 0 is always readable (empty for a node without lists).
  std::span<const uint32_t> list(uint32_t node, uint64_t layer) const {
    return layer == 0 ? base_list(node) : read(upper_slot(node, layer), upper_capacity_);
  }
  std::span<const uint32_t> base_list(uint32_t node) const {
    return read(base_slot(node), base_capacity_);
  }

  // Hints the processor to load node `node`'s layer-0 list (a walk's next
  // step reads it as soon as the node is taken).
  void prefetch_base_list(uint32_t node) const {
    const uint32_t* slot = base_slot(node);
    prefetch_line(slot);
    prefetch_line(slot + 16);
  }

  // Room for `nodes` more nodes' layer-0 slots and bookkeeping.
  void reserve(std::size_t nodes);
  // The bytes of one node's layer-0 slot.
  std::size_t base_slot_bytes() const { return 4 * (base_capacity_ + 1); }
  // Appends a node with `layer_count` (at most kMaxLists) empty lists.
  void add_node(uint64_t layer_count);
  // Replaces node `node`'s list on `layer` (< layer_count(node)).
  void set_list(uint32_t node, uint64_t layer, std::span<const uint32_t> ids);
  // The same for a list that the neighbour selection returned, whose first
  // `kept` ids it kept for their diversity and the rest filled it up. Only
  // layer 0 remembers the count, which spares the next selection over the
  // list most of its work.
  void set_selected_list(uint32_t node, uint64_t layer, std::span<const uint32_t> ids,
                         std::size_t kept);
  // The count set_selected_list gave node `node`'s layer-0 list, or
  // kUnknownKept once anything else has changed the list.
  static constexpr uint8_t kUnknownKept = 0xFF;
  uint8_t base_kept(uint32_t node) const { return base_kept_[node]; }
  // Appends `id` to node `node`'s list on `layer`.
  void append(uint32_t node, uint64_t layer, uint32_t id);

  // Bytes the arrays hold (their lengths, not their spare capacity).
  uint64_t memory_bytes() const;

  friend bool operator==(const Adjacency& a, const Adjacency& b);

 private:
  std::span<const uint32_t> read(const uint32_t* slot, std::size_t capacity) const {
    if (slot[0] <= capacity) return {slot + 1, slot[0]};
    return overflow_[slot[1]];
  }
  const uint32_t* base_slot(uint32_t node) const {
    return base_.data() + std::size_t{node} * (base_capacity_ + 1);
  }
  const uint32_t* upper_slot(uint32_t node, uint64_t layer) const {
    return upper_.data() + (std::size_t{upper_first_[node]} + layer - 1) * (upper_capacity_ + 1);
  }
  uint32_t* slot(uint32_t node, uint64_t layer) {
    return const_cast<uint32_t*>(layer == 0 ? base_slot(node) : upper_slot(node, layer));
  }
  std::size_t capacity(uint64_t layer) const {
    return layer == 0 ? base_capacity_ : upper_capacity_;
  }

  std::size_t base_capacity_;
  std::size_t upper_capacity_;
  std::vector<uint32_t> base_;                   // one slot of base_capacity_ + 1 per node
  std::vector<uint32_t> upper_;                  // one slot of upper_capacity_ + 1 per upper list
  std::vector<std::vector<uint32_t>> overflow_;  // lists longer than their slot
  std::vector<uint32_t> upper_first_;            // per node: its layer-1 slot in upper_
  std::vector<uint16_t> layer_counts_;           // per node
  std::vector<uint8_t> base_kept_;               // per node: see base_kept()
  uint64_t upper_lists_ = 0;
};

}  // namespace tessarine
