// SPDX-License-Identifier: GPL-3.0-or-later
// The fast exFAT engine against volumes made by mkfs.exfat and written
// through exfat-fuse (512-byte sectors with 4 KiB and 32 KiB clusters,
// 4096-byte sectors with 128 KiB clusters): what it finds, what it leaves
// out, and what it copies back.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_factory.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/output_path.h"
#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

using testing_support::ManifestRow;

bool IsFile(const ManifestRow& row) {
  return row.size != "-";
}

// A word of a manifest note ("cluster=N"), or empty.
std::string NoteValue(const std::string& note, const std::string& key) {
  const size_t at = note.find(key + "=");
  if (at == std::string::npos) return {};
  const size_t end = note.find(';', at);
  return note.substr(at + key.size() + 1, end == std::string::npos ? std::string::npos : end - at - key.size() - 1);
}

class ExFatFixtureTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_rows = testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
    ASSERT_FALSE(m_rows.empty());
    m_home = std::make_unique<ScanHome>();
    m_engine = ScanImage(m_image);
    m_found = CollectAll(*m_engine);
  }

  const FoundItem* Find(const std::string& path) const {
    auto it = m_found.find(path);
    return it == m_found.end() ? nullptr : &it->second;
  }

  std::string m_image;
  std::vector<ManifestRow> m_rows;
  std::unique_ptr<ScanHome> m_home;
  std::unique_ptr<exfat::CFastExFatRecovery> m_engine;
  std::map<std::string, FoundItem> m_found;
};

TEST_P(ExFatFixtureTest, FindsEveryDeletedFileWithNameSizeClusterAndFolder) {
  int deletedFiles = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.state != "deleted" || !IsFile(row)) continue;
    ++deletedFiles;
    const FoundItem* item = Find(row.path);
    ASSERT_NE(item, nullptr) << "not found: " << row.path;
    EXPECT_EQ(+item->record.isFolder, 0);
    EXPECT_EQ(+item->record.isDeleted, 1);
    EXPECT_EQ(+item->record.sourceKind, static_cast<int32_t>(SourceKind::kFastExFat));
    EXPECT_EQ(+item->record.size, std::stoull(row.size)) << row.path;
    EXPECT_EQ(+item->record.clusterBytes, static_cast<int32_t>(m_engine->Geometry().ClusterBytes()));
    EXPECT_EQ(+item->record.dataStartSector, m_engine->Geometry().heapSector);
    const std::string cluster = NoteValue(row.note, "cluster");
    EXPECT_EQ(static_cast<uint32_t>(item->record.locator), cluster.empty() ? 0u : std::stoul(cluster)) << row.path;
    EXPECT_NE(+item->record.modified, 0u) << row.path;
  }
  EXPECT_GT(deletedFiles, 15);
  int32_t count = -1;
  ASSERT_EQ(m_engine->CountFiles(nullptr, 0, &count), kStatusOk);
  EXPECT_EQ(count, deletedFiles);
}

TEST_P(ExFatFixtureTest, LiveFilesInLiveFoldersAreNotReported) {
  std::set<std::string> livePaths;
  for (const ManifestRow& row : m_rows) {
    if (row.state == "live" && IsFile(row)) livePaths.insert(row.path);
  }
  ASSERT_GT(livePaths.size(), 5u);
  for (const auto& [path, item] : m_found) {
    EXPECT_EQ(livePaths.count(item.path), 0u) << "live file reported: " << item.path;
  }
}

TEST_P(ExFatFixtureTest, FoldersOnThePathAreRecordedAndDeletedFoldersMarked) {
  const FoundItem* trash = Find("/Trash Folder");
  const FoundItem* sub = Find("/Trash Folder/Sub");
  const FoundItem* camera = Find("/DCIM/100CANON");
  ASSERT_NE(trash, nullptr);
  ASSERT_NE(sub, nullptr);
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(+trash->record.isFolder, 1);
  EXPECT_EQ(+trash->record.isDeleted, 1);
  EXPECT_EQ(+sub->record.isDeleted, 1);
  EXPECT_EQ(+camera->record.isDeleted, 0);
  EXPECT_EQ(sub->depth, 1);
  // A live folder that leads to no deleted file is not recorded.
  EXPECT_EQ(Find("/Keep"), nullptr);

  std::string path;
  ASSERT_EQ(m_engine->GetItemPath(&Find("/Trash Folder/Sub/d.png")->record, path), kStatusOk);
  EXPECT_EQ(path, "Trash Folder\\Sub\\");
  ASSERT_EQ(m_engine->GetItemPath(&Find("/deleted_root.txt")->record, path), kStatusOk);
  EXPECT_EQ(path, "");
}

TEST_P(ExFatFixtureTest, EveryDeletedFileComesBackByteExactAndIntact) {
  testing_support::TempDir out;
  int copied = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.state != "deleted" || !IsFile(row)) continue;
    const FoundItem* item = Find(row.path);
    ASSERT_NE(item, nullptr) << row.path;
    const std::string target = out.path() + "file" + std::to_string(++copied) + ".bin";
    ASSERT_EQ(m_engine->RecoverItem(&item->record, target, 0), kStatusOk) << row.path;
    EXPECT_EQ(testing_support::Sha256OfFile(target), row.sha256) << row.path;
    EXPECT_EQ(+item->record.isIntact, 1) << row.path;
  }
  EXPECT_GT(copied, 15);
}

TEST_P(ExFatFixtureTest, FilesWrittenInTurnsAreLaidOutOverTheirOwnClusters) {
  int fragmented = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.state != "deleted" || row.note.find("fragmented") == std::string::npos) continue;
    ++fragmented;
    const FoundItem* item = Find(row.path);
    ASSERT_NE(item, nullptr) << row.path;
    const std::string clusters = NoteValue(row.note, "clusters");
    const int runs = static_cast<int>(std::count(clusters.begin(), clusters.end(), ',')) + 1;
    EXPECT_EQ(m_engine->FragmentCount(item->record), runs) << row.path << " " << clusters;
  }
  EXPECT_GE(fragmented, 3);
}

TEST_P(ExFatFixtureTest, NamesKeepTheirCharactersAndTheirFullLength) {
  EXPECT_NE(Find("/Résumé déjà vu 日本語.txt"), nullptr);
  for (const ManifestRow& row : m_rows) {
    if (row.note.find("255-character name") == std::string::npos || row.state != "deleted") continue;
    ASSERT_NE(Find(row.path), nullptr) << row.path;
    EXPECT_EQ(Find(row.path)->record.Name().size(), 255u);
  }
}

TEST_P(ExFatFixtureTest, BrowsingFindsWhatSearchFinds) {
  testing_invariant::ExpectBrowsingFindsWhatSearchFinds(*m_engine, GetParam());
  std::vector<ItemRecord> photos;
  EXPECT_EQ(m_engine->Search("*.jpg|*.png|*.tif", photos), 1);
  std::set<std::string> names;
  for (const ItemRecord& r : photos) names.insert(std::string(r.Name()));
  EXPECT_EQ(names.count("IMG_0003.JPG"), 1u);
  EXPECT_EQ(names.count("Deleted Photo.jpg"), 1u);
  EXPECT_EQ(names.count("d.png"), 1u);
}

TEST_P(ExFatFixtureTest, AStoredScanReopensWithTheSameItems) {
  const std::string name = m_engine->StoreBaseName();
  ASSERT_FALSE(name.empty());
  exfat::CFastExFatRecovery again;
  ASSERT_EQ(again.OpenImage(m_image, 'X'), kStatusOk);
  ASSERT_EQ(again.Scan(name.c_str()), kStatusOk);
  const auto reopened = CollectAll(again);
  ASSERT_EQ(reopened.size(), m_found.size());
  for (const auto& [path, item] : m_found) {
    ASSERT_EQ(reopened.count(path), 1u) << path;
    EXPECT_EQ(again.FragmentCount(reopened.at(path).record), m_engine->FragmentCount(item.record)) << path;
  }
}

TEST_P(ExFatFixtureTest, TheFactoryGivesTheFastExFatEngineAndAFingerprint) {
  auto engine = CreateEngineForImage(m_image, 'F', 0);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(dynamic_cast<exfat::CFastExFatRecovery*>(engine.get()), nullptr);
  const uint64_t fingerprint = VolumeFingerprintOf(*engine);
  EXPECT_NE(fingerprint, 0u);
  EXPECT_EQ(VolumeFingerprintOf(*CreateEngineForImage(m_image, 'F', 0)), fingerprint);

  // A changed allocation bitmap (a file written or deleted) changes the fingerprint.
  testing_support::TempDir dir;
  auto bytes = testing_support::ReadFileBytes(m_image);
  const exfat::ExFatGeometry& g = m_engine->Geometry();
  const uint64_t bitmap = g.ClusterOffset(2);  // mkfs.exfat puts the bitmap in the first cluster
  bytes[bitmap + 1] ^= 0x01;
  testing_support::WriteFileBytes(dir.path() + "changed.img", bytes);
  auto changed = CreateEngineForImage(dir.path() + "changed.img", 'F', 0);
  ASSERT_NE(changed, nullptr);
  EXPECT_NE(VolumeFingerprintOf(*changed), fingerprint);
}

TEST_P(ExFatFixtureTest, TheSourceImageIsNeverWritten) {
  const std::string before = testing_support::Sha256OfFile(m_image);
  testing_support::TempDir out;
  const FoundItem* trash = Find("/Trash Folder");
  ASSERT_NE(trash, nullptr);
  // The destination mirrors the folder's place below a root: one folder deep.
  const std::string root = out.path() + "rec";
  ASSERT_EQ(m_engine->RecoverItem(&trash->record, root + "/Trash Folder", SeparatorCount(root + "/")), kStatusOk);
  int files = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.path.rfind("/Trash Folder/", 0) != 0 || !IsFile(row)) continue;
    ++files;
    EXPECT_EQ(testing_support::Sha256OfFile(root + row.path), row.sha256) << row.path;
  }
  EXPECT_EQ(files, 4);
  EXPECT_EQ(testing_support::Sha256OfFile(m_image), before);
}

TEST_P(ExFatFixtureTest, TheFreeSpaceMapIsTheAllocationBitmap) {
  const exfat::ExFatGeometry& g = m_engine->Geometry();
  ASSERT_EQ(m_engine->BuildAllocationMap(), kStatusOk);
  uint64_t sector = 0;
  uint64_t count = 0;
  ASSERT_EQ(m_engine->GetNextFreeExtent(&sector, &count), 1);
  EXPECT_GE(sector, g.heapSector);  // nothing before the heap is free
  EXPECT_GT(count, 0u);
  // Every deleted file's clusters lie in free extents; the walk from 0 covers them.
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  for (uint64_t at = 0; at < g.volumeSectors && extents.size() < 100000;) {
    uint64_t length = 0;
    uint64_t start = at;
    ASSERT_EQ(m_engine->GetNextFreeExtent(&start, &length), 1);
    if (length == 0) break;
    extents.emplace_back(start, length);
    at = start + length;
  }
  auto isFree = [&](uint64_t s) {
    for (const auto& [start, length] : extents) {
      if (s >= start && s < start + length) return true;
    }
    return false;
  };
  for (const ManifestRow& row : m_rows) {
    const std::string cluster = NoteValue(row.note, "cluster");
    if (cluster.empty()) continue;
    const uint64_t first = g.ClusterSector(static_cast<uint32_t>(std::stoul(cluster)));
    EXPECT_EQ(isFree(first), row.state == "deleted") << row.path;
  }
  uint64_t end = g.volumeSectors + 5;
  EXPECT_EQ(m_engine->GetNextFreeExtent(&end, &count), 1);
  EXPECT_EQ(end, g.volumeSectors);
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExFatFixtureTest, ::testing::Values("exfat_512", "exfat_32k", "exfat_4k"));

}  // namespace
}  // namespace engine::exfat_testing
