// SPDX-License-Identifier: GPL-3.0-or-later
// The fast NTFS engine on public NTFS images and bare MFTs from ../shared/testdata.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using testing_support::ReadFileBytes;

class SharedNtfsImageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk); }

  // Scans bytes (a volume at startSector) and collects its tree.
  void Scan(CFastNtfsRecovery& engine, const std::vector<uint8_t>& bytes, uint64_t startSector = 0) {
    storage::SectorSource source;
    storage::OpenMemorySource(source, bytes);
    ASSERT_EQ(engine.OpenSource(std::move(source), startSector, 0, 'F'), kStatusOk);
    ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
    m_tree.clear();
    ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
  }

  // Clears the flags word of record n (marks it a deleted file) in an image
  // whose MFT starts at mftOffset and maps records through runs of clusterBytes.
  static void MarkDeleted(std::vector<uint8_t>& image, uint64_t recordOffset) {
    image[recordOffset + 0x16] = 0;
    image[recordOffset + 0x17] = 0;
  }

  testing_support::ScopedDataHome m_home;
  testing_support::TempDir m_out;
  std::map<std::string, ItemRecord> m_tree;
};

TEST_F(SharedNtfsImageTest, SparseFileIsRecoveredWithZerosBetweenItsData) {
  std::string path = testing_support::SharedTestData("colinfinck-ntfs/testfs1");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto image = ReadFileBytes(path);
  // 512-byte clusters, MFT at byte 16384 whose first run holds 511 clusters.
  for (uint32_t record : {65u, 66u, 67u}) MarkDeleted(image, 16384 + record * 1024);
  CFastNtfsRecovery engine;
  Scan(engine, image);
  ASSERT_GE(engine.MftRuns().size(), 2u);
  ASSERT_EQ(m_tree.count("/sparse-file"), 1u);
  const ItemRecord& sparse = m_tree["/sparse-file"];
  EXPECT_EQ(+sparse.size, 500005u);
  const std::string out = m_out.path() + "sparse";
  ASSERT_EQ(engine.RecoverItem(&sparse, out, 0), kStatusOk);
  auto bytes = ReadFileBytes(out);
  ASSERT_EQ(bytes.size(), 500005u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "12345");
  EXPECT_EQ(std::string(bytes.begin() + 500000, bytes.end()), "11111");
  EXPECT_TRUE(std::all_of(bytes.begin() + 5, bytes.begin() + 500000, [](uint8_t b) { return b == 0; }));

  ASSERT_EQ(engine.RecoverItem(&m_tree["/file-with-12345"], out + "2", 0), kStatusOk);
  auto small = ReadFileBytes(out + "2");
  EXPECT_EQ(std::string(small.begin(), small.end()), "12345");
  ASSERT_EQ(engine.RecoverItem(&m_tree["/1000-bytes-file"], out + "3", 0), kStatusOk);
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += "12345";
  auto thousand = ReadFileBytes(out + "3");
  EXPECT_EQ(std::string(thousand.begin(), thousand.end()), expected);
}

TEST_F(SharedNtfsImageTest, RecordsBehindAFragmentedMftAreNumberedByTheirPlace) {
  std::string path = testing_support::SharedTestData("colinfinck-ntfs/testfs1");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto image = ReadFileBytes(path);
  // The MFT's first run ends in the middle of record 255; record 281 ("many_subdirs/213")
  // lies in a later run. Its record is found through the MFT's runs, not by its offset.
  CFastNtfsRecovery probe;
  {
    storage::SectorSource source;
    storage::OpenMemorySource(source, image);
    ASSERT_EQ(probe.OpenSource(std::move(source), 0, 0, 'F'), kStatusOk);
  }
  const uint64_t sector = MftRecordToSector(probe.Geometry(), probe.MftRuns(), 281);
  const uint64_t offset = sector * 512;
  ASSERT_EQ(std::string(image.begin() + static_cast<std::ptrdiff_t>(offset),
                        image.begin() + static_cast<std::ptrdiff_t>(offset) + 4),
            "FILE");
  MarkDeleted(image, offset);
  CFastNtfsRecovery engine;
  Scan(engine, image);
  ASSERT_EQ(m_tree.count("/many_subdirs/213"), 1u);
  EXPECT_EQ(+m_tree["/many_subdirs/213"].locator, 281);
  EXPECT_EQ(+m_tree["/many_subdirs"].isFolder, 1);
}

TEST_F(SharedNtfsImageTest, DataHeldInAnExtensionRecordIsFoundThroughTheAttributeList) {
  std::string path = testing_support::UnpackedSharedTestData("dfir_ntfs/ntfs3_attrlist.raw.gz");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto image = ReadFileBytes(path);
  // Record 27: 100 hard-link names spread over records 28-38; its $DATA is in record 28.
  MarkDeleted(image, 16384 + 27 * 1024);
  CFastNtfsRecovery engine;
  Scan(engine, image);
  ASSERT_EQ(m_tree.count("/11.txt"), 1u);  // the first name of the base record
  const ItemRecord& item = m_tree["/11.txt"];
  EXPECT_EQ(+item.locator, 27);
  EXPECT_EQ(+item.size, 4u);
  ASSERT_EQ(engine.RecoverItem(&item, m_out.path() + "linked", 0), kStatusOk);
  EXPECT_EQ(testing_support::Sha256OfFile(m_out.path() + "linked"),
            "181210f8f9c779c26da1d9b2075bde0127302ee0e3fca38c9a83f5b1dd8e5d3b");
}

TEST_F(SharedNtfsImageTest, VolumesWithoutDeletedFilesYieldNothing) {
  for (const char* name : {"dfir_ntfs/ntfs3.raw.gz", "dfir_ntfs/ntfs_index.raw.gz"}) {
    std::string path = testing_support::UnpackedSharedTestData(name);
    if (path.empty()) GTEST_SKIP() << "shared test data not present";
    const bool partitioned = std::string(name).find("index") != std::string::npos;
    CFastNtfsRecovery engine;
    Scan(engine, ReadFileBytes(path), partitioned ? 128 : 0);
    EXPECT_EQ(engine.Geometry().volumeStartSector, partitioned ? 128u : 0u);
    EXPECT_GT(engine.MftRuns().size(), 0u);
    EXPECT_TRUE(m_tree.empty()) << name;
    ASSERT_EQ(engine.BuildAllocationMap(), kStatusOk);
    uint64_t sector = 0;
    uint64_t count = 0;
    EXPECT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
    EXPECT_GT(count, 0u);
  }
}

TEST_F(SharedNtfsImageTest, BareMftBehindACraftedBootSectorRebuildsTheDeletedPath) {
  std::string path = testing_support::SharedTestData("dfir_ntfs/deleted.mft");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto mft = ReadFileBytes(path);
  // Record 0 maps the MFT to cluster 87125 of a volume with 4 KiB clusters:
  // a sparse image file with the MFT there.
  const uint64_t mftCluster = 87125;
  const uint64_t imageBytes = (mftCluster + 128) * 4096;
  const std::string image = m_out.path() + "bare.img";
  {
    std::ofstream out(image, std::ios::binary);
    auto boot = ntfs_test::BootSector(512, 8, imageBytes / 512 - 1, mftCluster);
    out.write(reinterpret_cast<const char*>(boot.data()), static_cast<std::streamsize>(boot.size()));
    out.seekp(static_cast<std::streamoff>(mftCluster * 4096));
    out.write(reinterpret_cast<const char*>(mft.data()), static_cast<std::streamsize>(mft.size()));
    out.seekp(static_cast<std::streamoff>(imageBytes - 1));
    out.put(0);
  }
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, 'G'), kStatusOk);
  ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
  ntfs_test::CollectTree(engine, nullptr, 0, "", m_tree);
  ASSERT_EQ(m_tree.count("/1/2/3/4/file.txt"), 1u);
  EXPECT_EQ(+m_tree["/1/2/3/4/file.txt"].size, 3u);
  EXPECT_EQ(m_tree.count("/1/2/33"), 0u);  // an empty deleted folder leads to no file
  EXPECT_EQ(m_tree.count("/$RECYCLE.BIN"), 0u);
  std::string folders;
  ASSERT_EQ(engine.GetItemPath(&m_tree["/1/2/3/4/file.txt"], folders), kStatusOk);
  EXPECT_EQ(folders, "1\\2\\3\\4\\");
}

TEST_F(SharedNtfsImageTest, UnicodeNamesOfABareMft) {
  std::string path = testing_support::SharedTestData("dfir_ntfs/unicode.mft");
  if (path.empty()) GTEST_SKIP() << "shared test data not present";
  auto mft = ReadFileBytes(path);
  // Lay the MFT at cluster 16 of a small volume and point record 0 there.
  std::vector<uint8_t> image(4 * 1024 * 1024, 0);
  auto boot = ntfs_test::BootSector(512, 8, image.size() / 512, 16);
  std::copy(boot.begin(), boot.end(), image.begin());
  std::copy(mft.begin(), mft.end(), image.begin() + 16 * 4096);
  ntfs_test::EditRecordAt(image, 16 * 4096, [](std::vector<uint8_t>& rec) {
    const size_t data = ntfs_test::FindAttribute(rec, 0x80);
    ASSERT_NE(data, 0u);
    const size_t runs = data + ntfs_test::Get16(rec, data + 0x20);
    const std::vector<uint8_t> run = {0x11, 0x40, 0x10, 0x00};  // 64 clusters at cluster 16
    std::copy(run.begin(), run.end(), rec.begin() + static_cast<std::ptrdiff_t>(runs));
  });
  // Record 43 ("Привет/привет.txt") becomes a deleted file.
  ntfs_test::EditRecordAt(image, 16 * 4096 + 43 * 1024,
                          [](std::vector<uint8_t>& rec) { ntfs_test::Put16(rec, 0x16, 0); });
  CFastNtfsRecovery engine;
  Scan(engine, image);
  EXPECT_EQ(m_tree.count("/Привет/привет.txt"), 1u);
  EXPECT_EQ(+m_tree["/Привет"].isFolder, 1);
}

}  // namespace
}  // namespace engine::ntfs
