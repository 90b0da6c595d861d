// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/attributes.h"

#include <gtest/gtest.h>

#include "engine/ntfs/attribute_list.h"
#include "engine/ntfs/file_name_attribute.h"
#include "tests/engine/ntfs/ntfs_test_util.h"

namespace engine::ntfs {
namespace {

using ntfs_test::ImageBuilder;
using ntfs_test::ListEntry;
using ntfs_test::Put32;
using ntfs_test::RecordBuilder;

class AttributesTest : public ::testing::Test {
 protected:
  void Open() {
    storage::OpenMemorySource(m_source, m_image.Bytes());
    m_volume.source = &m_source;
    ASSERT_TRUE(ParseNtfsBootSector(ByteView(m_image.Bytes().data(), 512), 0, m_image.Bytes().size() / 512,
                                    &m_volume.geometry));
    ASSERT_EQ(LoadMftRuns(m_volume), kStatusOk);
  }
  uint64_t Sector(uint32_t record) { return MftRecordToSector(m_volume.geometry, m_volume.mftRuns, record); }
  std::vector<PlacedRun> Runs(uint32_t record, Status expected = kStatusOk, AttributeInfo* info = nullptr) {
    std::vector<MftRun> runs;
    EXPECT_EQ(FindAttributeRuns(m_volume, Sector(record), kAttrData, runs, info), expected);
    return PlaceRuns(runs);
  }
  static std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

  ImageBuilder m_image;
  storage::SectorSource m_source;
  NtfsVolume m_volume;
};

TEST_F(AttributesTest, MftRunsComeFromRecordZero) {
  Open();
  ASSERT_EQ(m_volume.mftRuns.size(), 1u);
  EXPECT_EQ(m_volume.mftRuns[0].clusterCount, 128u);
  EXPECT_EQ(Sector(3), 64u + 6);
}

TEST_F(AttributesTest, BaseRecordRunsAndSize) {
  m_image.PutRecord(
      20, RecordBuilder(20).FileName(5, u"a.bin").NonResident(kAttrData, {0x21, 0x04, 0xE8, 0x03}, 2000, 0, 3).Build());
  Open();
  AttributeInfo info;
  auto runs = Runs(20, kStatusOk, &info);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].startCluster, 1000u);
  EXPECT_EQ(info.realSize, 2000);
  int64_t size = 0;
  EXPECT_EQ(ReadDataSize(m_volume, Sector(20), &size), kStatusOk);
  EXPECT_EQ(size, 2000);
}

TEST_F(AttributesTest, ResidentListFollowsEveryExtentInOrder) {
  auto list = Concat({ListEntry(0x30, 0, 20), ListEntry(kAttrData, 0, 21), ListEntry(kAttrData, 4, 22)});
  m_image.PutRecord(20, RecordBuilder(20).Resident(kAttrAttributeList, list).FileName(5, u"big.bin").Build());
  m_image.PutRecord(
      21, RecordBuilder(21).BaseReference(20).NonResident(kAttrData, {0x21, 0x04, 0xE8, 0x03}, 3000, 0, 3).Build());
  m_image.PutRecord(
      22, RecordBuilder(22).BaseReference(20).NonResident(kAttrData, {0x21, 0x02, 0xD0, 0x07}, 0, 4, 5).Build());
  Open();
  AttributeInfo info;
  auto runs = Runs(20, kStatusOk, &info);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].startCluster, 1000u);
  EXPECT_EQ(runs[1].startCluster, 2000u);  // the second extent's own run list starts from cluster 0
  EXPECT_EQ(runs[1].clusterCount, 2u);
  EXPECT_EQ(info.realSize, 3000);
  EXPECT_TRUE(info.fromAttributeList);
  int64_t size = 0;
  EXPECT_EQ(ReadDataSize(m_volume, Sector(20), &size), kStatusOk);
  EXPECT_EQ(size, 3000);
}

TEST_F(AttributesTest, NonResidentListIsReadFromItsClusters) {
  auto list = Concat({ListEntry(kAttrData, 0, 21), ListEntry(kAttrData, 4, 22)});
  m_image.PutBytes(3000 * 512, list);
  m_image.PutRecord(20,
                    RecordBuilder(20)
                        .NonResident(kAttrAttributeList, {0x21, 0x01, 0xB8, 0x0B}, static_cast<int64_t>(list.size()))
                        .FileName(5, u"big.bin")
                        .Build());
  m_image.PutRecord(
      21, RecordBuilder(21).BaseReference(20).NonResident(kAttrData, {0x21, 0x04, 0xE8, 0x03}, 3000, 0, 3).Build());
  m_image.PutRecord(
      22, RecordBuilder(22).BaseReference(20).NonResident(kAttrData, {0x21, 0x02, 0xD0, 0x07}, 0, 4, 5).Build());
  Open();
  auto runs = Runs(20);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1].startCluster, 2000u);
}

TEST_F(AttributesTest, ListNamingItsOwnRecordOrRepeatingAnExtentIsBounded) {
  std::vector<std::vector<uint8_t>> entries;
  for (int i = 0; i < 400; ++i) entries.push_back(ListEntry(kAttrData, 0, i % 2 == 0 ? 30 : 21));
  m_image.PutBytes(3000 * 512, Concat(entries));
  m_image.PutRecord(30, RecordBuilder(30)
                            .NonResident(kAttrAttributeList, {0x21, 0x20, 0xB8, 0x0B}, 400 * 0x20)
                            .FileName(5, u"self.bin")
                            .Build());
  m_image.PutRecord(
      21, RecordBuilder(21).BaseReference(30).NonResident(kAttrData, {0x21, 0x04, 0xE8, 0x03}, 100, 0, 3).Build());
  Open();
  Runs(30, kAttributeAbsent);  // the list names record 30 itself, which holds no $DATA

  // The same extent listed again and again is taken once.
  entries.clear();
  for (int i = 0; i < 400; ++i) entries.push_back(ListEntry(kAttrData, 0, 21));
  m_image.PutBytes(3000 * 512, Concat(entries));
  Open();
  auto runs = Runs(30);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].clusterCount, 4u);
}

TEST_F(AttributesTest, ExtensionRecordOfAnotherFileIsNotUsed) {
  auto list = Concat({ListEntry(kAttrData, 0, 21)});
  m_image.PutRecord(20, RecordBuilder(20).Resident(kAttrAttributeList, list).FileName(5, u"x.bin").Build());
  // Record 21 was reused as an extension of record 40.
  m_image.PutRecord(
      21, RecordBuilder(21).BaseReference(40).NonResident(kAttrData, {0x21, 0x04, 0xE8, 0x03}, 3000, 0, 3).Build());
  Open();
  Runs(20, kAttributeAbsent);
  m_image.Fill(ImageBuilder::RecordOffset(21), 1024, 0);  // not a file record at all
  Open();
  Runs(20, kAttributeAbsent);
}

TEST_F(AttributesTest, WalkStopsAtZeroOrOversizedLengths) {
  auto rec = RecordBuilder(20).FileName(5, u"a.txt").Resident(kAttrData, {1, 2, 3}).Build();
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  auto count = [](std::vector<uint8_t> r) {
    ByteView v(r.data(), r.size());
    AttributeWalker w(v, RecordWalkEnd(v));
    AttributeRef a;
    int n = 0;
    while (w.Next(&a)) ++n;
    return n;
  };
  EXPECT_EQ(count(rec), 2);
  auto bad = rec;
  Put32(bad, 0x38 + 4, 0);  // first attribute length 0
  EXPECT_EQ(count(bad), 0);
  bad = rec;
  Put32(bad, 0x38 + 4, 5000);  // longer than the record
  EXPECT_EQ(count(bad), 0);
  bad = rec;
  Put32(bad, 0x38 + 4, 0xFFFFFFF8u);
  EXPECT_EQ(count(bad), 0);
  bad = rec;
  ntfs_test::Put16(bad, 0x14, 0x08);  // first attribute inside the header
  EXPECT_EQ(count(bad), 0);
  bad = rec;
  ntfs_test::Put16(bad, 0x14, 0x3FE);  // first attribute at the record's very end
  EXPECT_EQ(count(bad), 0);
}

TEST_F(AttributesTest, ResidentDataAndItsRefusals) {
  m_image.PutRecord(20, RecordBuilder(20).FileName(5, u"r.txt").Resident(kAttrData, {'h', 'i', '!'}).Build());
  m_image.PutRecord(21, RecordBuilder(21).FileName(5, u"n.bin").NonResident(kAttrData, {0x11, 0x01, 0x10}, 10).Build());
  m_image.PutRecord(22, RecordBuilder(22).FileName(5, u"none").Build());
  auto oversized = RecordBuilder(23).FileName(5, u"o.txt").Resident(kAttrData, {1, 2, 3}).Build();
  // Value length far beyond the attribute.
  const size_t dataAttr = 0x38 + ntfs_test::Get32(oversized, 0x38 + 4);
  Put32(oversized, dataAttr + 0x10, 0x10000);
  m_image.PutRecord(23, oversized);
  Open();
  std::vector<uint8_t> value;
  uint32_t length = 99;
  EXPECT_EQ(ReadResidentData(m_volume, Sector(20), value, &length), kStatusOk);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(value, (std::vector<uint8_t>{'h', 'i', '!'}));
  EXPECT_EQ(ReadResidentData(m_volume, Sector(21), value, &length), kNoResidentData);
  EXPECT_EQ(ReadResidentData(m_volume, Sector(22), value, &length), kNoResidentData);
  EXPECT_EQ(ReadResidentData(m_volume, Sector(23), value, &length), kStatusInvalidParameter);
  EXPECT_EQ(ReadResidentData(m_volume, Sector(40), value, &length), kNoResidentData);  // all zero
  int64_t size = 0;
  EXPECT_EQ(ReadDataSize(m_volume, Sector(20), &size), kStatusOk);
  EXPECT_EQ(size, 3);
  EXPECT_EQ(ReadDataSize(m_volume, Sector(22), &size), kStatusInvalidParameter);
  EXPECT_EQ(ReadDataSize(m_volume, Sector(40), &size), kNotFileRecord);
}

TEST(FileNameAttribute, NameLongerThanTheValueIsRefused) {
  auto rec = RecordBuilder(20).FileName(7, u"name.txt", 1, 1234).Build();
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  ByteView v(rec.data(), rec.size());
  AttributeWalker w(v, RecordWalkEnd(v));
  AttributeRef a;
  ASSERT_TRUE(w.Next(&a));
  FileNameAttribute fn;
  ASSERT_TRUE(ParseFileName(a, &fn));
  EXPECT_EQ(fn.name, "name.txt");
  EXPECT_EQ(fn.parentRecord, 7u);
  EXPECT_EQ(fn.realSize, 1234);
  EXPECT_EQ(fn.nameSpace, 1);
  rec[0x38 + 0x18 + 0x40] = 200;  // 200 units do not fit the value
  EXPECT_FALSE(ParseFileName(a, &fn));
}

}  // namespace
}  // namespace engine::ntfs
