// SPDX-License-Identifier: GPL-3.0-or-later
// The fast FAT engine's operations around the scan: progress and cancel,
// preview extraction, partitions of a disk, the high-word search.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/fat_geometry.h"
#include "engine/output_path.h"
#include "platform/disk_table.h"
#include "platform/folders.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using testing_support::ReadFileBytes;
using testing_support::Sha256OfBytes;
using testing_support::Sha256OfFile;
using testing_support::TempDir;

const FoundItem* Find(const std::map<std::string, FoundItem>& all, const std::string& path) {
  auto it = all.find(path);
  return it == all.end() ? nullptr : &it->second;
}

std::string ManifestSha(const std::string& manifest, const std::string& path) {
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath(manifest))) {
    if (row.path == path) return row.sha256;
  }
  return {};
}

// --- Progress and cancel ------------------------------------------------------------

struct ScanReports {
  std::vector<int32_t> percents;
  std::vector<int32_t> weights;
  int32_t cancelAtCall = 0;  // 0: never
};

int32_t OnScan(void* userData, int32_t percent, int32_t weight, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  auto* r = static_cast<ScanReports*>(userData);
  r->percents.push_back(percent);
  r->weights.push_back(weight);
  return static_cast<int32_t>(r->percents.size()) == r->cancelAtCall ? kStatusCancelled : 0;
}

class ScanProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture("fat32_512.img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture is not available";
    ASSERT_EQ(m_engine.OpenImage(m_image, 'E'), kStatusOk);
    m_engine.SetReportIntervalMs(0);  // report after every directory
  }
  ScanHome m_home;
  std::string m_image;
  fat::CFastFatRecovery m_engine;
  ScanReports m_reports;
};

TEST_F(ScanProgressTest, ReportsRiseFromOneToHundred) {
  ASSERT_EQ(m_engine.SetProgressCallbacks(OnScan, nullptr, &m_reports, 100), kStatusOk);
  ASSERT_EQ(m_engine.Scan(nullptr), kStatusOk);
  ASSERT_GE(m_reports.percents.size(), 4u);
  EXPECT_EQ(m_reports.percents.front(), 1);
  EXPECT_EQ(m_reports.percents[m_reports.percents.size() - 2], 80);
  EXPECT_EQ(m_reports.percents.back(), 100);
  for (size_t i = 1; i < m_reports.percents.size(); ++i) {
    EXPECT_GE(m_reports.percents[i], m_reports.percents[i - 1]);
  }
  for (int32_t w : m_reports.weights) EXPECT_EQ(w, 100);
}

TEST_F(ScanProgressTest, AShareOfTheBarStaysBelowTheEndUntilDone) {
  ASSERT_EQ(m_engine.SetProgressCallbacks(OnScan, nullptr, &m_reports, 9), kStatusOk);
  ASSERT_EQ(m_engine.Scan(nullptr), kStatusOk);
  for (size_t i = 0; i + 2 < m_reports.percents.size(); ++i) EXPECT_LT(m_reports.percents[i], 80);
  for (int32_t w : m_reports.weights) EXPECT_EQ(w, 9);
}

TEST_F(ScanProgressTest, CancelMidScanKeepsWhatWasFound) {
  m_reports.cancelAtCall = 2;  // the report after the root directory
  ASSERT_EQ(m_engine.SetProgressCallbacks(OnScan, nullptr, &m_reports, 100), kStatusOk);
  EXPECT_EQ(m_engine.Scan(nullptr), kStatusCancelled);
  EXPECT_EQ(m_reports.percents.size(), 2u);
  auto all = CollectAll(m_engine);
  EXPECT_NE(Find(all, "/deleted_root.txt"), nullptr);
  EXPECT_NE(Find(all, "/Deleted Photo.jpg"), nullptr);
  EXPECT_EQ(Find(all, "/Docs/!raft.txt"), nullptr);  // not walked yet
  EXPECT_GT(m_engine.GetItemCount(), 0u);
}

// --- Browsing contract -----------------------------------------------------------------

TEST_F(ScanProgressTest, NullItemsAndRootWithDepthAreRefused) {
  ASSERT_EQ(m_engine.Scan(nullptr), kStatusOk);
  std::vector<ItemRecord> out(1, ZeroRecord());
  EXPECT_EQ(m_engine.ListChildren(nullptr, 5, out), kStatusInvalidParameter);
  EXPECT_EQ(out.size(), 1u);
  int32_t count = 0;
  EXPECT_EQ(m_engine.CountFiles(nullptr, 2, &count), kStatusInvalidParameter);
  std::string path;
  EXPECT_EQ(m_engine.GetItemPath(nullptr, path), kStatusInvalidParameter);
  EXPECT_EQ(m_engine.RecoverItem(nullptr, "/tmp/x", 0), kStatusInvalidParameter);
  uint32_t length = 0;
  EXPECT_EQ(m_engine.ExtractItem(nullptr, path, nullptr, &length, nullptr, nullptr), kStatusInvalidParameter);
}

// --- Preview extraction ------------------------------------------------------------------

struct ExtractReports {
  std::vector<int32_t> percents;
  int32_t cancelAtCall = 0;
};

int32_t OnExtract(void* userData, int32_t percent, int32_t) {
  auto* r = static_cast<ExtractReports*>(userData);
  r->percents.push_back(percent);
  return static_cast<int32_t>(r->percents.size()) == r->cancelAtCall ? kStatusCancelled : 0;
}

class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = testing_support::UnpackedFixture("fat32_512.img.gz");
    if (path.empty()) GTEST_SKIP() << "fixture is not available";
    std::vector<uint8_t> bytes = ReadFileBytes(path);
    // Give /Docs/draft.txt an audio extension (its short entry has no long name).
    const size_t draft = FindShortEntry(bytes,
                                        "\xE5"
                                        "RAFT   TXT");
    ASSERT_NE(draft, std::string::npos);
    std::memcpy(&bytes[draft + 8], "MP3", 3);
    m_engine = ScanBytes(bytes);
    m_all = CollectAll(*m_engine);
  }
  const ItemRecord& Item(const std::string& path) {
    const FoundItem* item = Find(m_all, path);
    EXPECT_NE(item, nullptr) << path;
    static const ItemRecord kNone = ZeroRecord();
    return item != nullptr ? item->record : kNone;
  }
  ScanHome m_home;
  std::unique_ptr<fat::CFastFatRecovery> m_engine;
  std::map<std::string, FoundItem> m_all;
};

TEST_F(ExtractTest, PhotosGoToTmpJpgAndTheLatestWins) {
  std::string temp;
  uint32_t length = 123;
  ASSERT_EQ(m_engine->ExtractItem(&Item("/Deleted Photo.jpg"), temp, nullptr, &length, nullptr, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("tmp.jpg"));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(Sha256OfFile(temp), ManifestSha("fat32_512.manifest.tsv", "/Deleted Photo.jpg"));
  ASSERT_EQ(m_engine->ExtractItem(&Item("/Trash Folder/!icture.jpg"), temp, nullptr, &length, nullptr, nullptr),
            kStatusOk);
  EXPECT_EQ(Sha256OfFile(temp), ManifestSha("fat32_512.manifest.tsv", "/Trash Folder/picture.jpg"));
}

TEST_F(ExtractTest, AudioGoesToTmpAviAndDocumentsToAFixedNameWithTheirExtension) {
  std::string temp;
  uint32_t length = 0;
  ASSERT_EQ(m_engine->ExtractItem(&Item("/Docs/!raft.mp3"), temp, nullptr, &length, nullptr, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("tmp.avi"));
  EXPECT_EQ(Sha256OfFile(temp), ManifestSha("fat32_512.manifest.tsv", "/Docs/draft.txt"));
  ASSERT_EQ(m_engine->ExtractItem(&Item("/Docs/old_report.pdf"), temp, nullptr, &length, nullptr, nullptr), kStatusOk);
  EXPECT_EQ(temp, testing_support::SessionFile("document.pdf"));
  EXPECT_EQ(Sha256OfFile(temp), ManifestSha("fat32_512.manifest.tsv", "/Docs/old_report.pdf"));
}

TEST_F(ExtractTest, OtherKindsFillTheCallersBufferUpToItsSize) {
  std::vector<uint8_t> buffer(65536 + 16, 0xAA);
  uint32_t length = 65536;
  std::string temp;
  ExtractReports reports;
  ASSERT_EQ(m_engine->ExtractItem(&Item("/Data/!iller.bin"), temp, buffer.data(), &length, OnExtract, &reports),
            kStatusOk);
  EXPECT_EQ(length, 65536u);
  EXPECT_TRUE(temp.empty());
  EXPECT_EQ(buffer[65535], 0);     // the filler is zero-filled
  EXPECT_EQ(buffer[65536], 0xAA);  // nothing past the given length
  ASSERT_FALSE(reports.percents.empty());
  EXPECT_EQ(reports.percents.back(), 100);

  std::vector<uint8_t> text(100000, 0);
  length = static_cast<uint32_t>(text.size());
  ASSERT_EQ(m_engine->ExtractItem(&Item("/deleted_root.txt"), temp, text.data(), &length, nullptr, nullptr), kStatusOk);
  EXPECT_EQ(length, 3000u);
  text.resize(length);
  EXPECT_EQ(Sha256OfBytes(text), ManifestSha("fat32_512.manifest.tsv", "/deleted_root.txt"));
}

TEST_F(ExtractTest, CancelledExtractionLeavesNoTemporaryFile) {
  ExtractReports reports;
  reports.cancelAtCall = 1;
  std::string temp;
  uint32_t length = 0;
  EXPECT_EQ(m_engine->ExtractItem(&Item("/Docs/old_report.pdf"), temp, nullptr, &length, OnExtract, &reports),
            kStatusCancelled);
  EXPECT_FALSE(platform::PathExists(testing_support::SessionFile("document.pdf")));
}

// --- Cancelled recovery --------------------------------------------------------------------

int32_t CancelCopy(void* userData, int32_t, int32_t, int32_t, const char*) {
  ++*static_cast<int*>(userData);
  return kStatusCancelled;
}

TEST_F(ExtractTest, CancelledRecoveryStopsAndLeavesNoPartialFile) {
  TempDir out;
  int calls = 0;
  ASSERT_EQ(m_engine->SetProgressCallbacks(nullptr, CancelCopy, &calls, 100), kStatusOk);
  EXPECT_EQ(m_engine->RecoverItem(&Item("/Trash Folder"), out.path() + "Trash Folder", SeparatorCount(out.path())),
            kStatusCancelled);
  EXPECT_FALSE(platform::PathExists(out.path() + "Trash Folder/!.txt"));
  EXPECT_FALSE(platform::PathExists(out.path() + "Trash Folder/!icture.jpg"));
  EXPECT_FALSE(platform::PathExists(out.path() + "Trash Folder/Sub"));
  EXPECT_LE(calls, 2);  // the cancelled piece, and the closing report
}

// --- Deleted FAT32 entries whose high cluster word was cleared ----------------------------

TEST(HighWordTest, SignatureFindsTheStartClusterAndIsRecovered) {
  const std::string path = testing_support::UnpackedFixture("fat32_512.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture is not available";
  ScanHome home;
  auto engine = ScanImage(path);
  auto all = CollectAll(*engine);
  const FoundItem* photo = Find(all, "/Photos/High Cluster Photo.jpg");
  ASSERT_NE(photo, nullptr);
  EXPECT_EQ(+photo->record.locator, 67756);
  EXPECT_EQ(+photo->record.isIntact, 1);
  TempDir out;
  ASSERT_EQ(engine->RecoverItem(&photo->record, out.path() + "p.jpg", 0), kStatusOk);
  EXPECT_EQ(Sha256OfFile(out.path() + "p.jpg"),
            ManifestSha("fat32_512.manifest.tsv", "/Photos/High Cluster Photo.jpg"));
}

TEST(HighWordTest, WithoutAMatchTheStoredWordStaysAndTheDamagedPhotoIsHidden) {
  const std::string path = testing_support::UnpackedFixture("fat32_512.img.gz");
  if (path.empty()) GTEST_SKIP() << "fixture is not available";
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  fat::FatGeometry g;
  ASSERT_TRUE(fat::ParseFatBootSector(ByteView(bytes.data(), 4096), bytes.size(), &g));
  const size_t data = static_cast<size_t>(g.ClusterSector(67756) * g.bytesPerSector);
  bytes[data] = 0;  // the JPEG start marker is gone
  bytes[data + 1] = 0;
  ScanHome home;
  auto engine = ScanBytes(bytes);
  auto all = CollectAll(*engine);
  EXPECT_EQ(Find(all, "/Photos/High Cluster Photo.jpg"), nullptr);  // damaged photos are not listed
  EXPECT_NE(Find(all, "/Photos/Vacation Picture.png"), nullptr);
}

// --- A partition of a disk -----------------------------------------------------------------

TEST(PartitionTest, OpensTheVolumeAtItsStartSectorOfDiskN) {
  const std::string disk = testing_support::UnpackedFixture("disk_mbr.img.gz");
  if (disk.empty()) GTEST_SKIP() << "fixture is not available";
  std::string sha;
  for (const auto& row : testing_support::ReadManifest(testing_support::FixturePath("disk_mbr.manifest.tsv"))) {
    if (row.path == "p1:/gone.txt") sha = row.sha256;
  }
  ASSERT_FALSE(sha.empty());
  platform::SetDiskTableOverride({disk});
  ScanHome home;
  {
    fat::CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenPartition(0, 2048, 32768, 'F'), kStatusOk);
    ASSERT_EQ(engine.Scan(nullptr), kStatusOk);
    auto all = CollectAll(engine);
    const FoundItem* gone = Find(all, "/!one.txt");  // a plain 8.3 name loses its first letter
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(+gone->record.volumeStartSector, 2048u);
    EXPECT_EQ(+gone->record.driveLetter, 'F');
    TempDir out;
    ASSERT_EQ(engine.RecoverItem(&gone->record, out.path() + "gone.txt", 0), kStatusOk);
    EXPECT_EQ(Sha256OfFile(out.path() + "gone.txt"), sha);
    EXPECT_EQ(engine.OpenPartition(0, 999, 1, 'G'), kStatusOk);  // opened once: later opens change nothing
    EXPECT_EQ(engine.Geometry().type, fat::FatType::kFat16);
  }
  platform::SetDiskTableOverride({});
}

}  // namespace
}  // namespace engine::fat_testing
