// SPDX-License-Identifier: GPL-3.0-or-later
// Volume layout, the FAT window and chain rule, and the free-cluster map.
#include <gtest/gtest.h>

#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/fat_allocation_map.h"
#include "engine/fat/fat_geometry.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using fat::FatGeometry;
using fat::FatType;

// A reader, a geometry and a FAT over bytes in memory.
struct MemoryVolume {
  fat::VolumeReader reader;
  FatGeometry geometry;
  fat::FatTable table;

  bool Open(std::vector<uint8_t> bytes, uint64_t windowBytes = fat::FatTable::kWindowBytes) {
    const uint64_t size = bytes.size() / 512 * 512;
    reader.Attach(MemorySource(std::move(bytes)), 512, 0, size);
    std::vector<uint8_t> boot(4096);
    if (reader.Read(0, boot.data(), boot.size()) != kStatusOk) return false;
    if (!fat::ParseFatBootSector(ByteView(boot.data(), boot.size()), size, &geometry)) return false;
    return table.Load(reader, geometry, windowBytes) == kStatusOk;
  }
};

std::vector<uint8_t> FixtureBytes(const std::string& gzName) {
  const std::string path = testing_support::UnpackedFixture(gzName);
  return path.empty() ? std::vector<uint8_t>() : testing_support::ReadFileBytes(path);
}

void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// --- Fingerprint --------------------------------------------------------------

TEST(FatFingerprint, ChangesWithTheFatAndNotWithFreeData) {
  const std::vector<uint8_t> clean = FixtureBytes("fat16.img.gz");
  if (clean.empty()) GTEST_SKIP() << "fixture is not available";
  auto fingerprint = [](const std::vector<uint8_t>& bytes) {
    fat::CFastFatRecovery engine;
    EXPECT_EQ(engine.OpenSource(MemorySource(bytes), 0, 0, 'M'), kStatusOk);
    uint64_t value = 0;
    EXPECT_EQ(engine.VolumeFingerprint(&value), kStatusOk);
    return value;
  };
  const uint64_t before = fingerprint(clean);
  EXPECT_NE(before, 0u);
  MemoryVolume volume;
  ASSERT_TRUE(volume.Open(clean));
  const FatGeometry g = volume.geometry;

  std::vector<uint8_t> dataChanged = clean;
  dataChanged[(g.dataStartSector + 40) * g.bytesPerSector] ^= 0xFF;
  EXPECT_EQ(fingerprint(dataChanged), before);

  // Allocating a free cluster (a file written) changes its FAT entry.
  std::vector<uint8_t> allocated = clean;
  uint32_t cluster = 2;
  uint32_t value = 1;
  while (value != 0) ASSERT_EQ(volume.table.Entry(++cluster, &value), kStatusOk);
  PutU16(allocated, g.fatStartSector * g.bytesPerSector + g.EntryByteOffset(cluster), 0xFFFF);
  EXPECT_NE(fingerprint(allocated), before);
}

// --- Geometry ---------------------------------------------------------------

struct GeometryCase {
  const char* fixture;
  FatType type;
  uint32_t bytesPerSector;
  uint32_t clusterBytes;
  uint64_t dataStart;
  uint32_t clusterCount;
  uint32_t rootCluster;
};

class GeometryOfFixtures : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(GeometryOfFixtures, MatchesWhatMkfsWrote) {
  const GeometryCase& c = GetParam();
  std::vector<uint8_t> bytes = FixtureBytes(c.fixture);
  if (bytes.empty()) GTEST_SKIP() << c.fixture << " is not available";
  FatGeometry g;
  ASSERT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  EXPECT_EQ(g.type, c.type);
  EXPECT_EQ(g.bytesPerSector, c.bytesPerSector);
  EXPECT_EQ(g.ClusterBytes(), c.clusterBytes);
  EXPECT_EQ(g.dataStartSector, c.dataStart);
  EXPECT_EQ(g.clusterCount, c.clusterCount);
  EXPECT_EQ(g.maxCluster, c.clusterCount + 1);
  EXPECT_EQ(g.rootCluster, c.rootCluster);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, GeometryOfFixtures,
                         ::testing::Values(GeometryCase{"fat12.img.gz", FatType::kFat12, 512, 512, 33, 2847, 0},
                                           GeometryCase{"fat16.img.gz", FatType::kFat16, 512, 2048, 100, 8167, 0},
                                           GeometryCase{"fat32_512.img.gz", FatType::kFat32, 512, 512, 1292, 80628, 2},
                                           GeometryCase{"fat32_4k.img.gz", FatType::kFat32, 512, 4096, 1072, 65913,
                                                        2}));

TEST(FatGeometryTest, SmallFatLimitsTheUsableClusters) {
  // FAT32 with 2048-byte sectors, its total only in the 16-bit field and a
  // one-sector FAT (512 entries).
  const std::string path = testing_support::UnpackedSharedTestData("dfir_ntfs/fat32_small.raw.gz");
  if (path.empty()) GTEST_SKIP() << "shared test data is not available";
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
  FatGeometry g;
  ASSERT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  EXPECT_EQ(g.type, FatType::kFat32);
  EXPECT_EQ(g.totalSectors, 8192u);
  EXPECT_LE(g.maxCluster, 511u);
  EXPECT_EQ(g.maxCluster, g.clusterCount + 1);
}

struct BadBootCase {
  const char* what;
  size_t offset;
  int width;  // 1 or 2 bytes
  uint16_t value;
};

class BadBootSector : public ::testing::TestWithParam<BadBootCase> {};

TEST_P(BadBootSector, IsRefusedAndTheEngineDoesNotOpen) {
  std::vector<uint8_t> bytes = FixtureBytes("fat16.img.gz");
  if (bytes.empty()) GTEST_SKIP() << "fixture is not available";
  const BadBootCase& c = GetParam();
  if (c.width == 1) {
    bytes[c.offset] = static_cast<uint8_t>(c.value);
  } else {
    PutU16(bytes, c.offset, c.value);
  }
  FatGeometry g;
  EXPECT_FALSE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g)) << c.what;
  fat::CFastFatRecovery engine;
  EXPECT_NE(engine.OpenSource(MemorySource(bytes), 0, 0, 'M'), kStatusOk) << c.what;
  ScanHome home;
  EXPECT_NE(engine.Scan(nullptr), kStatusOk);
  std::vector<ItemRecord> items;
  // Nothing was scanned: browsing says so instead of listing nothing.
  EXPECT_EQ(engine.ListChildren(nullptr, 0, items), kStatusInvalidParameter);
  EXPECT_TRUE(items.empty());
}

INSTANTIATE_TEST_SUITE_P(Fields, BadBootSector,
                         ::testing::Values(BadBootCase{"0 sectors per cluster", 13, 1, 0},
                                           BadBootCase{"3 sectors per cluster", 13, 1, 3},
                                           BadBootCase{"0 bytes per sector", 11, 2, 0},
                                           BadBootCase{"256 bytes per sector", 11, 2, 256},
                                           BadBootCase{"8192 bytes per sector", 11, 2, 8192},
                                           BadBootCase{"no reserved sector", 14, 2, 0}, BadBootCase{"no FAT", 16, 1, 0},
                                           BadBootCase{"huge FAT", 22, 2, 0xFFFF}, BadBootCase{"no total", 19, 2, 0}));

TEST(FatGeometryTest, BootSectorClaimingATerabyteAllocatesNothingBig) {
  const std::string path = testing_support::UnpackedSharedTestData("fatcat/fake-big-disk-1T.img.gz");
  if (path.empty()) GTEST_SKIP() << "shared test data is not available";
  ScanHome home;
  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 'E'), kStatusOk);
  // The data area begins beyond the 128 MiB that exist: no readable cluster.
  EXPECT_GT(engine.Geometry().totalSectors, 1ull << 31);
  EXPECT_EQ(engine.Geometry().maxCluster, 1u);
  EXPECT_NE(engine.Scan(nullptr), kStatusOk);  // its root cluster cannot be read
  EXPECT_EQ(engine.GetItemCount(), 0u);
  EXPECT_EQ(engine.BuildAllocationMap(), kStatusOk);
  uint64_t sector = 0;
  uint64_t count = 77;
  EXPECT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
  EXPECT_EQ(count, 0u);
}

// --- FAT window and chain rule ------------------------------------------------

class FatWindowTest : public ::testing::TestWithParam<const char*> {};

TEST_P(FatWindowTest, SmallWindowReadsEveryEntryLikeTheWholeFat) {
  std::vector<uint8_t> bytes = FixtureBytes(GetParam());
  if (bytes.empty()) GTEST_SKIP() << "fixture is not available";
  MemoryVolume whole;
  MemoryVolume small;
  ASSERT_TRUE(whole.Open(bytes));
  ASSERT_TRUE(small.Open(bytes, 1024));  // two sectors: FAT12 entries straddle its end
  for (uint32_t c = 2; c <= whole.geometry.maxCluster; ++c) {
    uint32_t a = 0;
    uint32_t b = 0;
    ASSERT_EQ(whole.table.Entry(c, &a), kStatusOk);
    ASSERT_EQ(small.table.Entry(c, &b), kStatusOk);
    ASSERT_EQ(a, b) << "cluster " << c;
  }
  // Walking backwards makes the small window move on every other entry.
  for (uint32_t c = whole.geometry.maxCluster; c >= 2; --c) {
    uint32_t a = 0;
    uint32_t b = 0;
    ASSERT_EQ(whole.table.Entry(c, &a), kStatusOk);
    ASSERT_EQ(small.table.Entry(c, &b), kStatusOk);
    ASSERT_EQ(a, b) << "cluster " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FatWindowTest,
                         ::testing::Values("fat12.img.gz", "fat16.img.gz", "fat32_512.img.gz"));

TEST(FatTableTest, Fat12EntriesFollowTheLiveChains) {
  std::vector<uint8_t> bytes = FixtureBytes("fat12.img.gz");
  if (bytes.empty()) GTEST_SKIP() << "fixture is not available";
  MemoryVolume v;
  ASSERT_TRUE(v.Open(bytes));
  // /Docs/report.pdf (live, 13863+ bytes) is contiguous from cluster 33 in
  // 512-byte clusters: 33 -> 34 -> ... and an end mark at its last cluster.
  uint32_t next = 0;
  bool viaFreed = true;
  ASSERT_EQ(v.table.NextCluster(33, &next, &viaFreed), kStatusOk);
  EXPECT_EQ(next, 34u);
  EXPECT_FALSE(viaFreed);
  ASSERT_EQ(v.table.NextCluster(34, &next, &viaFreed), kStatusOk);
  EXPECT_EQ(next, 35u);
  uint32_t entry = 0;
  ASSERT_EQ(v.table.Entry(0, &entry), kStatusOk);
  EXPECT_GE(entry, v.geometry.EndOfChainMin());  // no entry for cluster 0: an end
}

// Sets the FAT16 entry of cluster c in both FATs.
void SetFat16(std::vector<uint8_t>& bytes, const FatGeometry& g, uint32_t c, uint16_t value) {
  for (uint64_t copy = 0; copy < 2; ++copy) {
    PutU16(bytes, static_cast<size_t>((g.fatStartSector + copy * g.fatSectors) * 512 + 2ull * c), value);
  }
}

class ChainRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_bytes = FixtureBytes("fat16.img.gz");
    if (m_bytes.empty()) GTEST_SKIP() << "fixture is not available";
    ASSERT_TRUE(fat::ParseFatBootSector(ByteView(m_bytes.data(), 4096), m_bytes.size(), &m_geometry));
  }
  std::vector<uint8_t> m_bytes;
  FatGeometry m_geometry;
};

TEST_F(ChainRuleTest, FreedEntryContinuesAtTheNextFreeClusterSkippingAllocatedOnes) {
  SetFat16(m_bytes, m_geometry, 4000, 0);
  SetFat16(m_bytes, m_geometry, 4001, 0xFFFF);
  SetFat16(m_bytes, m_geometry, 4002, 0xFFFF);
  SetFat16(m_bytes, m_geometry, 4003, 0);
  MemoryVolume v;
  ASSERT_TRUE(v.Open(m_bytes));
  uint32_t next = 0;
  bool viaFreed = false;
  ASSERT_EQ(v.table.NextCluster(4000, &next, &viaFreed), kStatusOk);
  EXPECT_EQ(next, 4003u);
  EXPECT_TRUE(viaFreed);
}

TEST_F(ChainRuleTest, EndMarksBadMarksAndLinksOutsideTheVolumeEndTheChain) {
  SetFat16(m_bytes, m_geometry, 4000, 0xFFF8);
  SetFat16(m_bytes, m_geometry, 4001, 0xFFF7);                                            // bad cluster
  SetFat16(m_bytes, m_geometry, 4002, static_cast<uint16_t>(m_geometry.maxCluster + 1));  // past the volume
  SetFat16(m_bytes, m_geometry, 4003, 1);
  MemoryVolume v;
  ASSERT_TRUE(v.Open(m_bytes));
  for (uint32_t c = 4000; c <= 4003; ++c) {
    uint32_t next = 99;
    bool viaFreed = true;
    ASSERT_EQ(v.table.NextCluster(c, &next, &viaFreed), kStatusOk);
    EXPECT_EQ(next, 0u) << c;
    EXPECT_FALSE(viaFreed);
  }
}

TEST_F(ChainRuleTest, LoopingChainIsCutAfterOneRound) {
  SetFat16(m_bytes, m_geometry, 5000, 5001);
  SetFat16(m_bytes, m_geometry, 5001, 5002);
  SetFat16(m_bytes, m_geometry, 5002, 5000);
  MemoryVolume v;
  ASSERT_TRUE(v.Open(m_bytes));
  fat::ClusterChain chain(v.table, 5000);
  std::vector<uint32_t> visited{5000};
  for (int i = 0; i < 20; ++i) {
    uint32_t next = 0;
    bool viaFreed = false;
    ASSERT_EQ(chain.Advance(&next, &viaFreed), kStatusOk);
    if (next == 0) break;
    visited.push_back(next);
  }
  EXPECT_TRUE(chain.LoopFound());
  EXPECT_LE(visited.size(), 7u);
}

TEST_F(ChainRuleTest, ChainPointingAtItselfEnds) {
  SetFat16(m_bytes, m_geometry, 5000, 5000);
  MemoryVolume v;
  ASSERT_TRUE(v.Open(m_bytes));
  fat::ClusterChain chain(v.table, 5000);
  uint32_t next = 1;
  bool viaFreed = false;
  ASSERT_EQ(chain.Advance(&next, &viaFreed), kStatusOk);
  EXPECT_EQ(next, 5000u);  // the first backward step is taken once...
  ASSERT_EQ(chain.Advance(&next, &viaFreed), kStatusOk);
  EXPECT_EQ(next, 0u);  // ...and its repetition is the loop
}

// --- Free-cluster map ----------------------------------------------------------

TEST(FatAllocationMapTest, FreeExtentsCoverExactlyTheFreeClusters) {
  const std::string path = testing_support::UnpackedFixture("fat16.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture is not available";
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
  FatGeometry g;
  ASSERT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  // Free clusters counted straight from the FAT bytes.
  std::vector<bool> freeCluster(g.maxCluster + 1, false);
  uint64_t freeCount = 0;
  for (uint32_t c = 2; c <= g.maxCluster; ++c) {
    const size_t at = static_cast<size_t>(g.fatStartSector * 512 + 2ull * c);
    freeCluster[c] = (bytes[at] | bytes[at + 1]) == 0;
    freeCount += freeCluster[c] ? 1 : 0;
  }

  ScanHome home;
  fat::CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(path, 'E'), kStatusOk);
  ASSERT_EQ(engine.BuildAllocationMap(), kStatusOk);
  uint64_t sector = 0;
  uint64_t covered = 0;
  int runs = 0;
  for (; runs < 100000; ++runs) {
    uint64_t count = 0;
    ASSERT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
    if (count == 0) break;
    ASSERT_GE(sector, g.dataStartSector);
    const uint32_t first = static_cast<uint32_t>(2 + (sector - g.dataStartSector) / g.sectorsPerCluster);
    ASSERT_EQ((sector - g.dataStartSector) % g.sectorsPerCluster, 0u);
    for (uint64_t k = 0; k < count / g.sectorsPerCluster; ++k) ASSERT_TRUE(freeCluster[first + k]);
    covered += count;
    sector += count;
  }
  EXPECT_EQ(sector, g.volumeSectors);
  EXPECT_EQ(covered, freeCount * g.sectorsPerCluster);

  // Inside a free cluster the position stays; at the end it is clipped.
  uint64_t inside = g.ClusterSector(g.maxCluster) + 1;
  uint64_t count = 0;
  ASSERT_TRUE(freeCluster[g.maxCluster]);
  ASSERT_EQ(engine.GetNextFreeExtent(&inside, &count), 1);
  EXPECT_EQ(inside, g.ClusterSector(g.maxCluster) + 1);
  EXPECT_EQ(count, g.sectorsPerCluster - 1);
  uint64_t past = g.volumeSectors + 5;
  count = 42;
  EXPECT_EQ(engine.GetNextFreeExtent(&past, &count), 1);
  EXPECT_EQ(past, g.volumeSectors);
  EXPECT_EQ(count, 42u);
}

}  // namespace
}  // namespace engine::fat_testing
