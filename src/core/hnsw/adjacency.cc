#include "core/hnsw/adjacency.h"

#include <algorithm>
#include <string>

#include "core/base/fatal.h"

namespace tessarine {
namespace {

// At least one id fits, so an overflowed slot has room for its side-table index.
std::size_t slot_capacity(uint64_t width) {
  return static_cast<std::size_t>(std::clamp<uint64_t>(width, 1, Adjacency::kMaxSlotCapacity));
}

}  // namespace

Adjacency::Adjacency(uint64_t base_width, uint64_t upper_width)
    : base_capacity_(slot_capacity(base_width)), upper_capacity_(slot_capacity(upper_width)) {}

Adjacency Adjacency::from_lists(const NeighborLists& lists, uint64_t base_width,
                                uint64_t upper_width) {
  Adjacency out(base_width, upper_width);
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const uint32_t node = static_cast<uint32_t>(i);
    out.add_node(lists[i].size());
    for (std::size_t l = 0; l < lists[i].size(); ++l) out.set_list(node, l, lists[i][l]);
  }
  return out;
}

NeighborLists Adjacency::to_lists() const {
  NeighborLists lists(node_count());
  for (std::size_t i = 0; i < lists.size(); ++i) {
    const uint32_t node = static_cast<uint32_t>(i);
    for (uint64_t l = 0; l < layer_counts_[i]; ++l) {
      const auto ids = list(node, l);
      lists[i].emplace_back(ids.begin(), ids.end());
    }
  }
  return lists;
}

void Adjacency::reserve(std::size_t nodes) {
  base_.reserve(base_.size() + nodes * (base_capacity_ + 1));
  upper_first_.reserve(upper_first_.size() + nodes);
  layer_counts_.reserve(layer_counts_.size() + nodes);
  base_kept_.reserve(base_kept_.size() + nodes);
}

void Adjacency::add_node(uint64_t layer_count) {
  if (layer_count > kMaxLists || upper_lists_ + layer_count > UINT32_MAX) {
    fatal("graph node with " + std::to_string(layer_count) + " layers");
  }
  base_.resize(base_.size() + base_capacity_ + 1, 0);
  upper_first_.push_back(static_cast<uint32_t>(upper_lists_));
  layer_counts_.push_back(static_cast<uint16_t>(layer_count));
  base_kept_.push_back(kUnknownKept);
  if (layer_count > 1) {
    upper_lists_ += layer_count - 1;
    upper_.resize(static_cast<std::size_t>(upper_lists_) * (upper_capacity_ + 1), 0);
  }
}

void Adjacency::set_selected_list(uint32_t node, uint64_t layer, std::span<const uint32_t> ids,
                                  std::size_t kept) {
  set_list(node, layer, ids);
  if (layer == 0 && kept < kUnknownKept && kept <= ids.size()) {
    base_kept_[node] = static_cast<uint8_t>(kept);
  }
}

void Adjacency::set_list(uint32_t node, uint64_t layer, std::span<const uint32_t> ids) {
  if (layer == 0) base_kept_[node] = kUnknownKept;
  uint32_t* s = slot(node, layer);
  const std::size_t room = capacity(layer);
  const bool overflowed = s[0] > room;
  if (ids.size() <= room) {
    if (overflowed) std::vector<uint32_t>().swap(overflow_[s[1]]);
    s[0] = static_cast<uint32_t>(ids.size());
    std::copy(ids.begin(), ids.end(), s + 1);
    return;
  }
  if (!overflowed) {
    s[1] = static_cast<uint32_t>(overflow_.size());
    overflow_.emplace_back();
  }
  overflow_[s[1]].assign(ids.begin(), ids.end());
  s[0] = static_cast<uint32_t>(ids.size());
}

void Adjacency::append(uint32_t node, uint64_t layer, uint32_t id) {
  if (layer == 0) base_kept_[node] = kUnknownKept;
  uint32_t* s = slot(node, layer);
  const std::size_t room = capacity(layer);
  if (s[0] < room) {
    s[1 + s[0]] = id;
    ++s[0];
  } else if (s[0] > room) {
    overflow_[s[1]].push_back(id);
    ++s[0];
  } else {
    std::vector<uint32_t> ids(s + 1, s + 1 + room);
    ids.push_back(id);
    set_list(node, layer, ids);
  }
}

uint64_t Adjacency::memory_bytes() const {
  uint64_t bytes = 4 * (base_.size() + upper_.size()) + 4 * upper_first_.size() +
                   3 * layer_counts_.size() + 24 * overflow_.size();
  for (const auto& ids : overflow_) bytes += 4 * ids.size();
  return bytes;
}

bool operator==(const Adjacency& a, const Adjacency& b) {
  if (a.layer_counts_ != b.layer_counts_) return false;
  for (std::size_t i = 0; i < a.node_count(); ++i) {
    const uint32_t node = static_cast<uint32_t>(i);
    for (uint64_t l = 0; l < a.layer_counts_[i]; ++l) {
      const auto x = a.list(node, l);
      const auto y = b.list(node, l);
      if (!std::equal(x.begin(), x.end(), y.begin(), y.end())) return false;
    }
  }
  return true;
}

}  // namespace tessarine
