// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/relation_file.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "engine/store/folder_name_table.h"

namespace engine {
namespace {

store::FolderIndex Parse(std::string_view text, int32_t maxId = 1000) {
  store::FolderIndex index;
  store::RelationParser parser(index, maxId);
  parser.Feed(text);
  parser.Finish();
  return index;
}

TEST(RelationParserTest, SingleEntryLoadsExactly) {
  EXPECT_EQ(Parse(" | 5 - [7]"), (store::FolderIndex{{5, {7}}}));
}

TEST(RelationParserTest, ReadsTheDocumentedExample) {
  store::FolderIndex index = Parse(" | 2 - [1,2,5] | 4294967303 - [3,4]");
  EXPECT_EQ(index, (store::FolderIndex{{2, {1, 2, 5}}, {(uint64_t{1} << 32) | 7, {3, 4}}}));
}

TEST(RelationParserTest, TextWrittenForAnIndexReadsBackTheSame) {
  std::mt19937 random(7);
  store::FolderIndex index;
  for (int k = 0; k < 300; ++k) {
    uint64_t key = (static_cast<uint64_t>(random() % 50) << 32) | random();
    auto& ids = index[key];
    int n = 1 + static_cast<int>(random() % 40);
    for (int i = 0; i < n; ++i) ids.push_back(1 + static_cast<int32_t>(random() % 100000));
  }
  index[std::numeric_limits<uint64_t>::max()] = {std::numeric_limits<int32_t>::max()};
  std::string text = store::FormatRelationText(index);
  EXPECT_EQ(Parse(text, std::numeric_limits<int32_t>::max()), index);

  // Fed one byte at a time, the same result.
  store::FolderIndex pieces;
  store::RelationParser parser(pieces, std::numeric_limits<int32_t>::max());
  for (char c : text) parser.Feed(std::string_view(&c, 1));
  parser.Finish();
  EXPECT_EQ(pieces, index);
}

TEST(RelationParserTest, GarbageNumbersAreSkipped) {
  store::FolderIndex index =
      Parse(" | 2 - [1,x,3,99999999999,-4, 5 6,7y,8] | abc - [1] | 9 - [] | 99999999999999999999999 - [2]");
  EXPECT_EQ(index, (store::FolderIndex{{2, {1, 3, 8}}}));
}

TEST(RelationParserTest, IdsOutsideTheRecordFileAreDropped) {
  EXPECT_EQ(Parse(" | 2 - [0,1,2,3]", 2), (store::FolderIndex{{2, {1, 2}}}));
  EXPECT_TRUE(Parse(" | 2 - [1]", 0).empty());
}

TEST(RelationParserTest, CutTextKeepsOnlyCompletedIds) {
  EXPECT_EQ(Parse(" | 2 - [1,2,5] | 4294967303 - [3,4"), (store::FolderIndex{{2, {1, 2, 5}}, {4294967303u, {3}}}));
  EXPECT_EQ(Parse(" | 2 - [1,2,5] | 42949"), (store::FolderIndex{{2, {1, 2, 5}}}));
  EXPECT_EQ(Parse(" | 2 - [12"), store::FolderIndex{});
  EXPECT_EQ(Parse(" | 2 - [1,2 | 3 - [4]"), (store::FolderIndex{{2, {1}}, {3, {4}}}));
}

TEST(RelationParserTest, LaterEntryOfAKeyReplacesTheEarlier) {
  EXPECT_EQ(Parse(" | 4 - [1,2] | 4 - [3]"), (store::FolderIndex{{4, {3}}}));
}

TEST(RelationParserTest, EmptyAndForeignTextGiveNothing) {
  EXPECT_TRUE(Parse("").empty());
  EXPECT_TRUE(Parse("hello world [1,2,3]").empty());
  EXPECT_TRUE(Parse(std::string(1000, '|')).empty());
}

TEST(FolderNameTableTest, LookupReturnsTheFirstEntryOfALocator) {
  store::FolderNameTable table;
  table.Add(10, 1, "first");
  table.Add(11, 2, "other");
  table.Add(10, 3, "second");
  ASSERT_NE(table.FindByLocator(10), nullptr);
  EXPECT_EQ(int32_t{table.FindByLocator(10)->id}, 1);
  EXPECT_EQ(table.FindByLocator(12), nullptr);
  table.Add(12, 4, "late");
  ASSERT_NE(table.FindByLocator(12), nullptr);
  EXPECT_EQ(table.FindByLocator(12)->Name(), "late");
}

TEST(FolderNameTableTest, LoadingIgnoresAPartialEntryAndUnterminatedNames) {
  std::vector<uint8_t> bytes(2 * store::kFolderNameEntryBytes + 100, 'A');
  store::FolderNameTable table;
  table.LoadFrom(bytes.data(), bytes.size());
  ASSERT_EQ(table.Size(), 2u);
  EXPECT_EQ(table.At(1).Name().size(), store::kFolderNameBytes);  // no terminator: read to the field's end only
}

}  // namespace
}  // namespace engine
