// The flat link arrays against their nested form.
#include "core/hnsw/adjacency.h"

#include <vector>

#include "gtest/gtest.h"

namespace tessarine {
namespace {

std::vector<uint32_t> ids_of(std::span<const uint32_t> list) { return {list.begin(), list.end()}; }

// Lists shorter than, equal to and longer than their slot, on both arrays,
// and nodes with no lists or more than a valid graph would give them.
TEST(AdjacencyTest, NestedFormRoundTrips) {
  const NeighborLists lists = {
      {{1, 2}, {3}, {}}, {{0, 2, 3, 4, 5}}, {}, {{}, {0, 1, 2, 4}}, {{9}},
  };
  const Adjacency flat = Adjacency::from_lists(lists, 3, 2);
  EXPECT_EQ(flat.to_lists(), lists);
  EXPECT_EQ(flat.node_count(), 5u);
  EXPECT_EQ(flat.layer_count(2), 0u);
  EXPECT_TRUE(flat.base_list(2).empty());
  EXPECT_EQ(ids_of(flat.list(3, 1)), (std::vector<uint32_t>{0, 1, 2, 4}));
  EXPECT_EQ(flat, Adjacency::from_lists(lists, 300, 1));
  EXPECT_FALSE(flat == Adjacency::from_lists({{{1, 2}, {3}, {}}}, 3, 2));
}

// Lists that grow past their slot move aside and back without losing ids,
// and never disturb their neighbours' slots.
TEST(AdjacencyTest, ListsGrowAndShrinkAcrossTheSlotCapacity) {
  Adjacency links(2, 1);
  links.add_node(2);
  links.add_node(1);
  links.add_node(2);
  std::vector<uint32_t> expected;
  for (uint32_t id = 10; id < 15; ++id) {
    links.append(0, 0, id);
    links.append(2, 1, id + 100);
    expected.push_back(id);
    EXPECT_EQ(ids_of(links.base_list(0)), expected);
  }
  EXPECT_EQ(links.list(2, 1).size(), 5u);
  EXPECT_TRUE(links.base_list(1).empty());
  EXPECT_TRUE(links.list(0, 1).empty());
  const std::vector<uint32_t> short_list = {7};
  links.set_list(0, 0, short_list);
  EXPECT_EQ(ids_of(links.base_list(0)), short_list);
  const std::vector<uint32_t> long_list = {1, 2, 3};
  links.set_list(0, 0, long_list);
  links.append(0, 0, 4);
  EXPECT_EQ(ids_of(links.base_list(0)), (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(ids_of(links.list(2, 1)), (std::vector<uint32_t>{110, 111, 112, 113, 114}));
}

}  // namespace
}  // namespace tessarine
