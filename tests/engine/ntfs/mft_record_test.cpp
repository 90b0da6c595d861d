// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/mft_record.h"

#include <gtest/gtest.h>

#include "engine/ntfs/attributes.h"
#include "engine/ntfs/file_name_attribute.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "tests/engine/ntfs/ntfs_test_util.h"
#include "tests/support/test_support.h"

namespace engine::ntfs {
namespace {

using ntfs_test::BootSector;
using ntfs_test::Get16;
using ntfs_test::Put16;
using ntfs_test::RecordBuilder;

NtfsVolumeGeometry Geometry(uint32_t bps, uint32_t spc, uint64_t sectors = 1 << 20, uint64_t mftLcn = 16) {
  NtfsVolumeGeometry g;
  auto boot = BootSector(static_cast<uint16_t>(bps), static_cast<uint8_t>(spc), sectors, mftLcn);
  EXPECT_TRUE(ParseNtfsBootSector(ByteView(boot.data(), boot.size()), 0, sectors, &g));
  return g;
}

// ---- boot sector

TEST(NtfsGeometry, DerivesRecordAndMftPlacement) {
  auto boot = BootSector(512, 8, 100000, 4);
  NtfsVolumeGeometry g;
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(boot.data(), boot.size()), 2048, 100000, &g));
  EXPECT_EQ(g.clusterBytes, 4096u);
  EXPECT_EQ(g.sectorsPerRecord, 2u);
  EXPECT_EQ(g.recordBytes, 1024u);
  EXPECT_EQ(g.mftStartSector, 2048u + 4 * 8);
  boot[0x0B] = 0;  // 0 bytes per sector means 512
  boot[0x0C] = 0;
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(boot.data(), boot.size()), 0, 100000, &g));
  EXPECT_EQ(g.bytesPerSector, 512u);
}

TEST(NtfsGeometry, UnusableBootSectorsAreRefused) {
  NtfsVolumeGeometry g;
  auto bad = [&](std::vector<uint8_t> b) { return !ParseNtfsBootSector(ByteView(b.data(), b.size()), 0, 4096, &g); };
  EXPECT_TRUE(bad(BootSector(512, 0x80, 4096, 4)));  // 64 KiB clusters on 512-byte sectors
  EXPECT_TRUE(bad(BootSector(512, 0xF8, 4096, 4)));  // power-of-two encoding (128 KiB)
  EXPECT_TRUE(bad(BootSector(512, 3, 4096, 4)));     // not a power of two
  EXPECT_TRUE(bad(BootSector(512, 0, 4096, 4)));
  EXPECT_TRUE(bad(BootSector(500, 1, 4096, 4)));
  EXPECT_TRUE(bad(BootSector(512, 1, 4096, 5000)));  // MFT past the volume
  EXPECT_TRUE(bad(BootSector(512, 1, 4096, static_cast<uint64_t>(-3))));
  std::vector<uint8_t> shortBoot(100, 0);
  EXPECT_FALSE(ParseNtfsBootSector(ByteView(shortBoot.data(), shortBoot.size()), 0, 4096, &g));
}

TEST(NtfsGeometry, RecordSizeFromTheBootSectorOrTheSectorRule) {
  NtfsVolumeGeometry g;
  auto b = BootSector(4096, 1, 4096, 4, 1);  // one 4 KiB cluster per record
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(b.data(), b.size()), 0, 4096, &g));
  EXPECT_EQ(g.recordBytes, 4096u);
  EXPECT_EQ(g.sectorsPerRecord, 1u);
  b = BootSector(512, 8, 4096, 4, 100);  // absurd: 100 clusters per record
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(b.data(), b.size()), 0, 4096, &g));
  EXPECT_EQ(g.recordBytes, 1024u);
  b = BootSector(512, 8, 4096, 4, -12);  // 4096-byte records on 512-byte sectors
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(b.data(), b.size()), 0, 4096, &g));
  EXPECT_EQ(g.recordBytes, 4096u);
  EXPECT_EQ(g.sectorsPerRecord, 8u);
}

TEST(NtfsGeometry, SharedBootSectors) {
  struct Case {
    const char* file;
    bool accepted;
    uint32_t bytesPerSector;
    uint32_t clusterBytes;
    uint32_t recordBytes;
  };
  const Case cases[] = {{"512.boot", true, 512, 512, 1024},
                        {"4k.boot", true, 512, 4096, 1024},
                        {"4kn.boot", true, 4096, 4096, 4096},
                        {"64k.boot", false, 0, 0, 0},
                        {"128k.boot", false, 0, 0, 0}};
  for (const Case& c : cases) {
    std::string path = testing_support::SharedTestData(std::string("dfir_ntfs/") + c.file);
    if (path.empty()) GTEST_SKIP() << "shared test data not present";
    auto bytes = testing_support::ReadFileBytes(path);
    NtfsVolumeGeometry g;
    const uint64_t total = ByteView(bytes.data(), bytes.size()).U64(0x28);
    const bool ok = ParseNtfsBootSector(ByteView(bytes.data(), bytes.size()), 0, total, &g);
    EXPECT_EQ(ok, c.accepted) << c.file;
    if (!ok || !c.accepted) continue;
    EXPECT_EQ(g.bytesPerSector, c.bytesPerSector) << c.file;
    EXPECT_EQ(g.clusterBytes, c.clusterBytes) << c.file;
    EXPECT_EQ(g.recordBytes, c.recordBytes) << c.file;
  }
}

// ---- update sequence

TEST(UpdateSequence, RestoresTheTailOfEveryStride) {
  auto rec = RecordBuilder(30).Resident(0x80, std::vector<uint8_t>(900, 0xAB)).Build();
  EXPECT_EQ(Get16(rec, 510), 1);
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  EXPECT_EQ(rec[510], 0xAB);
  EXPECT_EQ(rec[511], 0xAB);
}

TEST(UpdateSequence, TornRecordIsAcceptedUnchecked) {
  auto rec = RecordBuilder(30).Build();
  Put16(rec, 1022, 0x7777);  // the second stride was never written
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  auto raw = RecordBuilder(30).Build();
  Put16(raw, 1022, 0x7777);
  EXPECT_TRUE(IsPlausibleFileRecord(ByteView(raw.data(), raw.size()), 1024));
}

TEST(UpdateSequence, FourKibRecordsUseEightStrides) {
  auto rec = RecordBuilder(30, 0, 4096).Resident(0x80, std::vector<uint8_t>(3800, 0x5C)).Build();
  for (size_t i = 1; i <= 7; ++i) EXPECT_EQ(Get16(rec, i * 512 - 2), 1);
  ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
  for (size_t i = 1; i <= 7; ++i) EXPECT_EQ(rec[i * 512 - 2], 0x5C) << i;
}

TEST(UpdateSequence, ArrayThatDoesNotFitIsRefused) {
  auto rec = RecordBuilder(30).Build();
  Put16(rec, 0x06, 40);  // count far above 1024 / 512 + 1
  EXPECT_FALSE(ApplyUpdateSequence(rec.data(), rec.size()));
  Put16(rec, 0x06, 3);
  Put16(rec, 0x04, 0x3F0);  // array offset past the first stride
  EXPECT_FALSE(ApplyUpdateSequence(rec.data(), rec.size()));
  Put16(rec, 0x04, 0x31);  // odd offset
  EXPECT_FALSE(ApplyUpdateSequence(rec.data(), rec.size()));
  EXPECT_FALSE(ApplyUpdateSequence(rec.data(), 700));
  EXPECT_FALSE(ApplyUpdateSequence(nullptr, 1024));
}

// ---- raw-scan test

TEST(PlausibleRecord, HeaderChecks) {
  auto rec = RecordBuilder(40).FileName(5, u"a.txt").Build();
  ByteView v(rec.data(), rec.size());
  EXPECT_TRUE(IsPlausibleFileRecord(v, 1024));
  EXPECT_FALSE(IsPlausibleFileRecord(v, 4096));  // allocated size differs
  auto bad = rec;
  bad[0] = 'B';
  EXPECT_FALSE(IsPlausibleFileRecord(ByteView(bad.data(), bad.size()), 1024));
  bad = rec;
  Put16(bad, 0x1FE, 0x1234);
  EXPECT_FALSE(IsPlausibleFileRecord(ByteView(bad.data(), bad.size()), 1024));
  bad = rec;
  ntfs_test::Put32(bad, 0x18, 1025);
  EXPECT_FALSE(IsPlausibleFileRecord(ByteView(bad.data(), bad.size()), 1024));
  EXPECT_FALSE(IsPlausibleFileRecord(ByteView(rec.data(), 511), 1024));
}

TEST(PlausibleRecord, SharedFileRecord) {
  std::string path = testing_support::SharedTestData("dfir_ntfs/frs.bin");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto bytes = testing_support::ReadFileBytes(path);
  EXPECT_TRUE(IsPlausibleFileRecord(ByteView(bytes.data(), bytes.size()), 1024));
}

// ---- record number to sector

TEST(MftMapping, RecordOnARunBoundaryMapsToTheNextRun) {
  NtfsVolumeGeometry g = Geometry(512, 8);
  std::vector<MftRun> runs = {{4, 100, false}, {4, 50, false}};  // clusters 100-103, then 150-153
  // The first run holds 4 clusters × 8 sectors = 32 sectors = 16 records.
  EXPECT_EQ(MftRecordToSector(g, runs, 15), 100u * 8 + 30);
  EXPECT_EQ(MftRecordToSector(g, runs, 16), 150u * 8);
  EXPECT_EQ(MftRecordToSector(g, runs, 31), 150u * 8 + 30);
  EXPECT_EQ(MftRecordToSector(g, runs, 32), g.volumeStartSector);  // no run holds it
  EXPECT_EQ(MftRecordToSector(g, runs, ~uint64_t{0}), g.volumeStartSector);
  EXPECT_EQ(MftRecordCount(g, runs), 32u);
}

TEST(MftMapping, SparseAndOutOfVolumeRunsMapNothing) {
  NtfsVolumeGeometry g = Geometry(512, 8, 8000);
  std::vector<MftRun> runs = {{1, 0, true}, {1, 500, false}, {1, 5000, false}};
  EXPECT_EQ(MftRecordToSector(g, runs, 0), 0u);
  EXPECT_EQ(MftRecordToSector(g, runs, 4), 500u * 8);
  EXPECT_FALSE(MftStreamSector(g, runs, 16).has_value());  // cluster 5500 lies past the volume
}

TEST(MftMapping, RecordStraddlingTwoRunsIsReadWhole) {
  // 512-byte clusters: a 1024-byte record can begin in one run and end in another.
  auto boot = BootSector(512, 1, 64, 10);
  std::vector<uint8_t> image(64 * 512, 0);
  std::copy(boot.begin(), boot.end(), image.begin());
  auto rec = RecordBuilder(1).FileName(5, u"straddle.txt").Build();
  // Record 0 at cluster 10 (2 sectors); record 1 starts in cluster 12 and goes on at cluster 40.
  std::copy(rec.begin(), rec.begin() + 512, image.begin() + 12 * 512);
  std::copy(rec.begin() + 512, rec.end(), image.begin() + 40 * 512);
  storage::SectorSource source;
  storage::OpenMemorySource(source, image);
  NtfsVolume volume;
  volume.source = &source;
  ASSERT_TRUE(ParseNtfsBootSector(ByteView(image.data(), 512), 0, 64, &volume.geometry));
  volume.mftRuns = {{3, 10, false}, {1, 30, false}};
  std::vector<uint8_t> read;
  ASSERT_EQ(ReadFixedRecordByNumber(volume, 1, read), kStatusOk);
  FileNameAttribute fn;
  AttributeWalker walker(ByteView(read.data(), read.size()), RecordWalkEnd(ByteView(read.data(), read.size())));
  AttributeRef attr;
  ASSERT_TRUE(walker.Next(&attr));
  ASSERT_TRUE(ParseFileName(attr, &fn));
  EXPECT_EQ(fn.name, "straddle.txt");
  EXPECT_EQ(ReadFixedRecordByNumber(volume, 2, read), kNotFileRecord);  // past the runs
}

// ---- real MFTs: every non-resident extent's runs cover exactly its VCN range

class SharedMftTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SharedMftTest, RunListsCoverTheirVcnRanges) {
  std::string path = testing_support::SharedTestData(std::string("dfir_ntfs/") + GetParam());
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto mft = testing_support::ReadFileBytes(path);
  const size_t recordBytes = ByteView(mft.data(), mft.size()).U32(kRecBytesAllocated);
  ASSERT_TRUE(recordBytes == 1024 || recordBytes == 4096);
  int extents = 0;
  for (size_t at = 0; at + recordBytes <= mft.size(); at += recordBytes) {
    std::vector<uint8_t> rec(mft.begin() + static_cast<std::ptrdiff_t>(at),
                             mft.begin() + static_cast<std::ptrdiff_t>(at + recordBytes));
    ByteView view(rec.data(), rec.size());
    if (!HasFileSignature(view) || !ApplyUpdateSequence(rec.data(), rec.size())) continue;
    AttributeWalker walker(view, RecordWalkEnd(view));
    AttributeRef attr;
    while (walker.Next(&attr)) {
      if (attr.IsResident()) continue;
      std::vector<MftRun> runs;
      DecodeRunList(attr.bytes, runs);
      const auto lowest = static_cast<int64_t>(attr.bytes.U64(0x10));
      const auto highest = static_cast<int64_t>(attr.bytes.U64(0x18));
      EXPECT_EQ(static_cast<int64_t>(TotalClusters(runs)), highest - lowest + 1)
          << GetParam() << " record " << at / recordBytes << " type " << std::hex << attr.type;
      for (const PlacedRun& p : PlaceRuns(runs)) EXPECT_TRUE(p.isValid);
      ++extents;
    }
  }
  EXPECT_GT(extents, 5);
}

INSTANTIATE_TEST_SUITE_P(Mfts, SharedMftTest,
                         ::testing::Values("deleted.mft", "orphan.mft", "unicode.mft", "4k-large.mft",
                                           "mapping_pairs_1.mft", "mapping_pairs_2.mft", "compressed_sparse.mft",
                                           "different_la.mft", "slack.mft"));

TEST(SharedMft, NamesAndParentsOfUnicodeAndFourKibRecords) {
  struct Case {
    const char* file;
    size_t recordBytes;
    uint64_t record;
    uint32_t parent;
    const char* name;
  };
  const Case cases[] = {{"unicode.mft", 1024, 42, 5, "Привет"},
                        {"unicode.mft", 1024, 43, 42, "привет.txt"},
                        {"4k-large.mft", 4096, 39, 5, "1.txt"},
                        {"4k-large.mft", 4096, 43, 5, "2.txt"}};
  for (const Case& c : cases) {
    std::string path = testing_support::SharedTestData(std::string("dfir_ntfs/") + c.file);
    if (path.empty()) GTEST_SKIP() << "shared test data not present";
    auto mft = testing_support::ReadFileBytes(path);
    std::vector<uint8_t> rec(mft.begin() + static_cast<std::ptrdiff_t>(c.record * c.recordBytes),
                             mft.begin() + static_cast<std::ptrdiff_t>((c.record + 1) * c.recordBytes));
    ASSERT_TRUE(ApplyUpdateSequence(rec.data(), rec.size()));
    ByteView view(rec.data(), rec.size());
    AttributeWalker walker(view, RecordWalkEnd(view));
    AttributeRef attr;
    bool found = false;
    while (!found && walker.Next(&attr)) {
      FileNameAttribute fn;
      if (attr.type == kAttrFileName && ParseFileName(attr, &fn) && fn.nameSpace != kNameSpaceDos) {
        EXPECT_EQ(fn.name, c.name);
        EXPECT_EQ(fn.parentRecord, c.parent);
        found = true;
      }
    }
    EXPECT_TRUE(found) << c.file << " " << c.record;
  }
}

}  // namespace
}  // namespace engine::ntfs
