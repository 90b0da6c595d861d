// SPDX-License-Identifier: GPL-3.0-or-later
// Progress, cancel, preview extraction and the free-space walk of the fast NTFS engine.
#include <gtest/gtest.h>

#include "engine/ntfs/fast_ntfs_recovery.h"
#include "platform/folders.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using testing_support::ReadFileBytes;
using testing_support::Sha256OfBytes;
using testing_support::Sha256OfFile;

struct ScanLog {
  int calls = 0;
  int cancelAtCall = 0;  // 0: never
  std::vector<int32_t> remaining;
  std::vector<int32_t> percents;
};

int32_t OnScan(void* user, int32_t percent, int32_t, int32_t remaining, uint64_t, uint64_t, uint64_t, int32_t) {
  auto* log = static_cast<ScanLog*>(user);
  ++log->calls;
  log->percents.push_back(percent);
  log->remaining.push_back(remaining);
  return log->calls == log->cancelAtCall ? kStatusCancelled : 0;
}

struct CopyLog {
  std::vector<int32_t> percents;
  std::vector<int32_t> statuses;
  int cancelAtCall = 0;
};

int32_t OnCopy(void* user, int32_t percent, int32_t hundred, int32_t status, const char*) {
  auto* log = static_cast<CopyLog*>(user);
  EXPECT_EQ(hundred, 100);
  log->percents.push_back(percent);
  log->statuses.push_back(status);
  return static_cast<int>(log->percents.size()) == log->cancelAtCall ? kStatusCancelled : 0;
}

struct ExtractLog {
  std::vector<int32_t> percents;
  std::vector<int32_t> statuses;
};

int32_t OnExtract(void* user, int32_t percent, int32_t status) {
  auto* log = static_cast<ExtractLog*>(user);
  log->percents.push_back(percent);
  log->statuses.push_back(status);
  return 0;
}

class FastNtfsOperationsTest : public ntfs_test::NtfsFixtureTest {};

TEST_P(FastNtfsOperationsTest, ProgressEndsAtHundredAndAWeightOfNineNeverEstimates) {
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(m_imagePath, 'E'), kStatusOk);
  ScanLog log;
  engine.SetProgressCallbacks(OnScan, nullptr, &log, 9);
  ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
  ASSERT_GE(log.calls, 2);
  EXPECT_EQ(log.percents.back(), 100);
  for (int32_t r : log.remaining) EXPECT_EQ(r, -1);
}

TEST_P(FastNtfsOperationsTest, CancelReturnsTheCallbackValueAndKeepsWhatWasFound) {
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(m_imagePath, 'E'), kStatusOk);
  ScanLog log;
  log.cancelAtCall = 1;  // the first chunk holds every record of this small MFT
  engine.SetProgressCallbacks(OnScan, nullptr, &log, 100);
  EXPECT_EQ(engine.Scan(nullptr), kStatusCancelled);
  EXPECT_EQ(log.calls, 1);
  EXPECT_GT(engine.GetItemCount(), 0u);
  std::vector<ItemRecord> root;
  ASSERT_EQ(engine.ListChildren(nullptr, 0, root), kStatusOk);
  bool found = false;
  for (const ItemRecord& r : root) found = found || r.Name() == "small_deleted.txt";
  EXPECT_TRUE(found);
}

TEST_P(FastNtfsOperationsTest, NullFolderWithDepthAndNullItemsAreRefused) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  std::vector<ItemRecord> out;
  EXPECT_EQ(engine.ListChildren(nullptr, 5, out), kStatusInvalidParameter);
  EXPECT_TRUE(out.empty());
  int32_t count = 0;
  EXPECT_EQ(engine.CountFiles(nullptr, 2, &count), kStatusInvalidParameter);
  EXPECT_EQ(engine.RecoverItem(nullptr, m_out.path() + "x", 0), kStatusInvalidParameter);
  std::string temp;
  ExtractLog log;
  EXPECT_EQ(engine.ExtractItem(nullptr, temp, nullptr, nullptr, OnExtract, &log), kStatusInvalidParameter);
  EXPECT_EQ(log.statuses, std::vector<int32_t>{kStatusInvalidParameter});
}

TEST_P(FastNtfsOperationsTest, CopyReportsProgressAndResidentFilesReportOnce) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  CopyLog log;
  engine.SetProgressCallbacks(nullptr, OnCopy, &log, 100);
  ASSERT_EQ(engine.RecoverItem(&m_tree["/small_deleted.txt"], m_out.path() + "small", 0), kStatusOk);
  EXPECT_EQ(log.percents, std::vector<int32_t>{100});
  EXPECT_EQ(log.statuses, std::vector<int32_t>{0});
  log = CopyLog{};
  ASSERT_EQ(engine.RecoverItem(&m_tree["/frag_deleted.txt"], m_out.path() + "frag", 0), kStatusOk);
  ASSERT_GE(log.percents.size(), 4u);
  EXPECT_EQ(log.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(log.percents.begin(), log.percents.end()));
}

TEST_P(FastNtfsOperationsTest, CancelledCopyLeavesNoPartialFile) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  CopyLog log;
  log.cancelAtCall = 2;
  engine.SetProgressCallbacks(nullptr, OnCopy, &log, 100);
  const std::string out = m_out.path() + "cut";
  EXPECT_EQ(engine.RecoverItem(&m_tree["/big_log_deleted.txt"], out, 0), kStatusCancelled);
  EXPECT_FALSE(platform::PathExists(out));
}

TEST_P(FastNtfsOperationsTest, PreviewGoesToTheTemporaryFileOfItsKindOrIntoTheBuffer) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  // A photo: tmp.jpg in the session folder, whole.
  std::string temp;
  ExtractLog log;
  uint32_t length = 0;
  ASSERT_EQ(engine.ExtractItem(&m_tree["/Pictures/deleted_photo.jpg"], temp, nullptr, &length, OnExtract, &log),
            kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("tmp.jpg"));
  EXPECT_EQ(Sha256OfFile(temp), Row("/Pictures/deleted_photo.jpg")->sha256);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(log.percents.back(), 100);
  // A document: a copy under a fixed name with its extension.
  ASSERT_EQ(engine.ExtractItem(&m_tree["/Documents/deleted_report.pdf"], temp, nullptr, &length, nullptr, nullptr),
            kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("document.pdf"));
  EXPECT_EQ(Sha256OfFile(temp), Row("/Documents/deleted_report.pdf")->sha256);
  // Text has no preview kind: the first bytes go into the buffer.
  std::vector<uint8_t> buffer(65536);
  length = static_cast<uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractItem(&m_tree["/big_log_deleted.txt"], temp, buffer.data(), &length, nullptr, nullptr),
            kStatusOk);
  EXPECT_TRUE(temp.empty());
  ASSERT_EQ(length, 65536u);
  ASSERT_EQ(engine.RecoverItem(&m_tree["/big_log_deleted.txt"], m_out.path() + "big", 0), kStatusOk);
  auto whole = ReadFileBytes(m_out.path() + "big");
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), whole.begin()));
  length = 1000;
  ASSERT_EQ(engine.ExtractItem(&m_tree["/small_deleted.txt"], temp, buffer.data(), &length, nullptr, nullptr),
            kStatusOk);
  EXPECT_EQ(length, 400u);
}

TEST_P(FastNtfsOperationsTest, FreeExtentsAvoidEveryUsedCluster) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  ASSERT_EQ(engine.BuildAllocationMap(), kStatusOk);
  const NtfsVolumeGeometry& g = engine.Geometry();
  // Clusters in use: the boot sector, the MFT and the data of live files.
  std::vector<uint64_t> used = {0, ntfs_test::ManifestValue(m_manifestPath, "mft_lcn")};
  for (const auto& row : m_manifest) {
    if (row.state == "live" && ntfs_test::LcnOf(row) != 0) used.push_back(ntfs_test::LcnOf(row));
  }
  uint64_t sector = 0;
  uint64_t count = 0;
  uint64_t freeSectors = 0;
  int extents = 0;
  while (true) {
    const uint64_t from = sector;
    ASSERT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
    if (count == 0) break;
    ASSERT_GE(sector, from);
    EXPECT_EQ(sector % g.sectorsPerCluster, 0u);
    for (uint64_t lcn : used) {
      EXPECT_FALSE(lcn * g.sectorsPerCluster >= sector && lcn * g.sectorsPerCluster < sector + count)
          << "cluster " << lcn << " in extent at " << sector;
    }
    freeSectors += count;
    sector += count;
    ++extents;
    ASSERT_LT(extents, 100000);
  }
  EXPECT_GT(extents, 0);
  EXPECT_GT(freeSectors, g.sectorCount / 2);  // the deleted filler left most of the volume free
  // Inside a used cluster (the boot sector) the walk moves on to a free cluster.
  sector = 0;
  ASSERT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
  EXPECT_GT(sector, 0u);
  EXPECT_GT(count, 0u);
  // At and past the end.
  for (uint64_t start : {g.sectorCount, g.sectorCount + 12345}) {
    sector = start;
    count = 77;
    ASSERT_EQ(engine.GetNextFreeExtent(&sector, &count), 1);
    EXPECT_EQ(sector, g.sectorCount);
    EXPECT_EQ(count, 0u);
  }
}

TEST_P(FastNtfsOperationsTest, PreviousScanIsReopenedByName) {
  std::string name;
  {
    CFastNtfsRecovery engine;
    ScanImage(engine);
    name = engine.StoreName();
  }
  ASSERT_EQ(name.rfind("Fast_0_", 0), 0u);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(m_imagePath, 'E'), kStatusOk);
  ASSERT_EQ(engine.Scan(name.c_str()), kStatusOk);
  std::map<std::string, ItemRecord> tree;
  ntfs_test::CollectTree(engine, nullptr, 0, "", tree);
  EXPECT_EQ(tree.size(), m_tree.size());
  EXPECT_EQ(tree.count("/Projects/Sub/notes.txt"), 1u);
}

// The fingerprint that tells a written volume from an unchanged one: a new
// or deleted file flips a bit of the MFT's record bitmap; a changed byte of
// free space does not count.
TEST_P(FastNtfsOperationsTest, FingerprintChangesWhenFilesAreCreatedOrDeleted) {
  const std::vector<uint8_t> clean = ReadFileBytes(m_imagePath);
  auto fingerprint = [](const std::vector<uint8_t>& image) {
    CFastNtfsRecovery engine;
    storage::SectorSource source;
    storage::OpenMemorySource(source, image);
    EXPECT_EQ(engine.OpenSource(std::move(source), 0, 0, 'E'), kStatusOk);
    uint64_t value = 0;
    EXPECT_EQ(engine.VolumeFingerprint(&value), kStatusOk);
    return value;
  };
  const uint64_t before = fingerprint(clean);
  EXPECT_NE(before, 0u);
  EXPECT_EQ(fingerprint(clean), before);

  std::vector<uint8_t> dataChanged = clean;
  const auto* deleted = Row("/big_log_deleted.txt");
  ASSERT_NE(deleted, nullptr);
  dataChanged[ntfs_test::LcnOf(*deleted) * m_clusterBytes + 100] ^= 0xFF;
  EXPECT_EQ(fingerprint(dataChanged), before);

  // Record 0's bitmap attribute: mark record 100 in use, as creating a file would.
  std::vector<uint8_t> fileCreated = clean;
  std::vector<uint8_t> mft(fileCreated.begin() + static_cast<std::ptrdiff_t>(m_mftOffset),
                           fileCreated.begin() + static_cast<std::ptrdiff_t>(m_mftOffset + 1024));
  const size_t bitmap = ntfs_test::FindAttribute(mft, 0xB0);
  ASSERT_NE(bitmap, 0u);
  uint64_t at = 0;
  if (mft[bitmap + 8] == 0) {
    at = m_mftOffset + bitmap + ntfs_test::Get16(mft, bitmap + 0x14);
  } else {
    const size_t runs = bitmap + ntfs_test::Get16(mft, bitmap + 0x20);
    const uint8_t header = mft[runs];
    const size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    uint64_t lcn = 0;
    for (size_t i = 0; i < offsetBytes; ++i) lcn |= uint64_t{mft[runs + 1 + lengthBytes + i]} << (8 * i);
    at = lcn * m_clusterBytes;
  }
  fileCreated[at + 100 / 8] ^= static_cast<uint8_t>(1u << (100 % 8));
  EXPECT_NE(fingerprint(fileCreated), before);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FastNtfsOperationsTest, ::testing::Values("ntfs_512", "ntfs_4k"));

}  // namespace
}  // namespace engine::ntfs
