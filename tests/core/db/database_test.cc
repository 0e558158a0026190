#include "core/db/database.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tessarine {
namespace {

TEST(DatabaseTest, CreateListDelete) {
  Database db;
  EXPECT_TRUE(db.list_collections().empty());
  ASSERT_TRUE(db.create_collection("A", 4).ok());
  ASSERT_TRUE(db.create_collection("a", 8).ok());
  ASSERT_TRUE(db.create_collection("", 0).ok());
  auto names = db.list_collections();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"", "A", "a"}));

  EXPECT_TRUE(db.delete_collection("A"));
  EXPECT_FALSE(db.delete_collection("A"));
  EXPECT_FALSE(db.delete_collection("missing"));
  EXPECT_EQ(db.size(), 2u);
}

TEST(DatabaseTest, DuplicateNameFailsAndKeepsTheExistingCollection) {
  Database db;
  HnswConfig config;
  config.m = 8;
  config.m_max0 = 16;
  ASSERT_TRUE(db.create_collection("docs", 3, config).ok());
  Status again = db.create_collection("docs", 5);
  EXPECT_EQ(again.code(), ErrorCode::kAlreadyExists);
  EXPECT_EQ(again.message(), "Collection 'docs' already exists");
  auto handle = db.get_collection("docs");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->data.dimension, 3u);
  EXPECT_EQ(handle->data.hnsw.config.m_max0, 16u);
}

TEST(DatabaseTest, DefaultConfigurationAndEmptyState) {
  Database db;
  ASSERT_TRUE(db.create_collection("c", 2).ok());
  auto handle = db.get_collection("c");
  const Collection& c = handle->data;
  EXPECT_EQ(c.hnsw.config, HnswConfig{});
  EXPECT_EQ(c.hnsw.config.m_max0, 32u);
  EXPECT_EQ(c.hnsw.dimension, 2u);
  EXPECT_FALSE(c.hnsw.entry_point.has_value());
  EXPECT_TRUE(c.documents.empty());
  EXPECT_TRUE(c.internal_to_uuid.empty());
}

TEST(DatabaseTest, HandleOutlivesDeletionAndRecreationIsFresh) {
  Database db;
  ASSERT_TRUE(db.create_collection("c", 2).ok());
  CollectionHandle held = db.get_collection("c");
  held->data.internal_to_uuid.push_back(Uuid{});
  EXPECT_TRUE(db.delete_collection("c"));
  EXPECT_EQ(db.get_collection("c"), nullptr);
  EXPECT_EQ(held->data.internal_to_uuid.size(), 1u);  // still usable

  ASSERT_TRUE(db.create_collection("c", 2).ok());
  EXPECT_TRUE(db.get_collection("c")->data.internal_to_uuid.empty());
}

TEST(DatabaseTest, InsertOrReplaceSwapsTheHandleButNeverNamesItTwice) {
  Database db;
  ASSERT_TRUE(db.create_collection("c", 2).ok());
  CollectionHandle original = db.get_collection("c");
  auto replacement = std::make_shared<LockedCollection>(Collection("c", 7, HnswConfig{}));
  ASSERT_TRUE(db.insert_or_replace("c", replacement).ok());
  EXPECT_EQ(db.get_collection("c"), replacement);
  EXPECT_EQ(original.use_count(), 1);  // released by the registry
  // One collection under two names would let two snapshots (or two writers)
  // claim the same data.
  Status twice = db.insert_or_replace("d", replacement);
  EXPECT_EQ(twice.code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(db.get_collection("d"), nullptr);
  EXPECT_EQ(db.size(), 1u);
}

}  // namespace
}  // namespace tessarine
