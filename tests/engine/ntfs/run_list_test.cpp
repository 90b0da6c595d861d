// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/run_list.h"

#include <gtest/gtest.h>

#include "tests/engine/ntfs/ntfs_test_util.h"

namespace engine::ntfs {
namespace {

using ntfs_test::Put16;
using ntfs_test::Put32;

// A bare non-resident attribute: 0x40-byte header, then the run list.
std::vector<uint8_t> Attribute(const std::vector<uint8_t>& runList, size_t length = 0) {
  std::vector<uint8_t> a(length != 0 ? length : 0x40 + runList.size() + 8, 0);
  Put32(a, 0, 0x80);
  Put32(a, 4, static_cast<uint32_t>(a.size()));
  a[8] = 1;
  Put16(a, 0x20, 0x40);
  std::copy(runList.begin(), runList.end(), a.begin() + 0x40);
  return a;
}

std::vector<MftRun> Decode(const std::vector<uint8_t>& attribute) {
  std::vector<MftRun> runs;
  DecodeRunList(ByteView(attribute.data(), attribute.size()), runs);
  return runs;
}

TEST(RunListDecode, LengthAndSignedOffsets) {
  auto runs = Decode(Attribute({0x11, 0x30, 0x20, 0x21, 0x10, 0x00, 0xFF, 0x00}));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].clusterCount, 48u);
  EXPECT_EQ(runs[0].lcnDelta, 32);
  EXPECT_FALSE(runs[0].isSparse);
  EXPECT_EQ(runs[1].clusterCount, 16u);
  EXPECT_EQ(runs[1].lcnDelta, -256);
}

TEST(RunListDecode, FieldWiderThanSevenBytesEndsTheList) {
  auto runs = Decode(Attribute({0x11, 0x04, 0x10, 0x18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x11, 0x01, 0x01}));
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].clusterCount, 4u);
  EXPECT_TRUE(Decode(Attribute({0x81, 0x04, 1, 2, 3, 4, 5, 6, 7, 8})).empty());
}

TEST(RunListDecode, EmptyOffsetFieldIsSparse) {
  auto runs = Decode(Attribute({0x11, 0x08, 0x64, 0x01, 0x10, 0x11, 0x08, 0x08}));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_TRUE(runs[1].isSparse);
  EXPECT_EQ(runs[1].lcnDelta, 0);
  EXPECT_EQ(runs[1].clusterCount, 16u);
  auto placed = PlaceRuns(runs);
  EXPECT_EQ(placed[0].startCluster, 100u);
  EXPECT_EQ(placed[2].startCluster, 108u);  // the sparse run does not move the running start
}

TEST(RunListDecode, FieldCrossingTheAttributeEndIsNotRead) {
  std::vector<uint8_t> a = Attribute({});
  a.resize(0x43);
  Put32(a, 4, 0x43);
  a[0x40] = 0x31;  // needs 4 more bytes, only 2 are left
  a[0x41] = 0x05;
  a[0x42] = 0x06;
  EXPECT_TRUE(Decode(a).empty());
}

TEST(RunListDecode, RunListOffsetInsideTheHeaderOrPastTheEndIsRefused) {
  std::vector<uint8_t> a = Attribute({0x11, 0x01, 0x01});
  Put16(a, 0x20, 0x10);
  EXPECT_TRUE(Decode(a).empty());
  Put16(a, 0x20, 0xFFF0);
  EXPECT_TRUE(Decode(a).empty());
}

TEST(RunListDecode, LongRunListBeyondOneSectorIsDecodedWhole) {
  // 150 runs of 4 bytes: a fragmented file's run list longer than a 512-byte sector.
  std::vector<uint8_t> list;
  for (int i = 0; i < 150; ++i) list.insert(list.end(), {0x21, 0x02, 0x04, 0x00});
  auto runs = Decode(Attribute(list, 0x40 + list.size() + 8));
  ASSERT_EQ(runs.size(), 150u);
  EXPECT_EQ(PlaceRuns(runs).back().startCluster, 150u * 4);
}

TEST(RunListPlacement, ExtentsAreRebasedToStayAbsolute) {
  std::vector<MftRun> runs = {{10, 1000, false}};
  AppendExtentRuns(runs, {{5, 300, false}, {5, 10, false}});  // the second extent starts at cluster 300
  auto placed = PlaceRuns(runs);
  ASSERT_EQ(placed.size(), 3u);
  EXPECT_EQ(placed[1].startCluster, 300u);
  EXPECT_EQ(placed[2].startCluster, 310u);
  EXPECT_EQ(TotalClusters(runs), 20u);
}

TEST(RunListPlacement, NegativeOrOverflowingStartsAreInvalid) {
  auto placed = PlaceRuns({{1, -5, false}, {1, 10, false}, {1, INT64_MAX, false}, {1, INT64_MAX, false}});
  EXPECT_FALSE(placed[0].isValid);
  EXPECT_TRUE(placed[1].isValid);
  EXPECT_EQ(placed[1].startCluster, 5u);
  EXPECT_FALSE(placed[2].isValid);
  EXPECT_FALSE(placed[3].isValid);
}

}  // namespace
}  // namespace engine::ntfs
