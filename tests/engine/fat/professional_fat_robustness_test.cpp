// SPDX-License-Identifier: GPL-3.0-or-later
// The professional FAT engine against what a raw volume can hold besides
// sound directories: geometries from anchors that do not make one, ".."
// loops, "." entries naming no cluster, absurd cluster numbers, a volume
// full of directory-looking sectors, files claiming more than the volume,
// directories no geometry ever places; and against its own limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/fat/professional_fat_tree.h"
#include "engine/fat_dir_entry.h"
#include "tests/engine/fat/professional_fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using fat::ClusterGeometry;
using fat::FatGeometryList;

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value);
  bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  Put16(bytes, at, static_cast<uint16_t>(value));
  Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

// Byte offset of the directory-start sector whose "." names cluster.
size_t DirectoryStartOf(const std::vector<uint8_t>& bytes, uint32_t cluster) {
  for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
    if (IsDirectoryStart(bytes.data() + at, 512) && fat::EntryCluster(bytes.data() + at) == cluster) return at;
  }
  return std::string::npos;
}

std::vector<uint8_t> Fixture(const char* gzName) {
  const std::string path = testing_support::UnpackedFixture(gzName);
  return path.empty() ? std::vector<uint8_t>() : testing_support::ReadFileBytes(path);
}

#define QM_BYTES_OR_SKIP(var, gzName)         \
  std::vector<uint8_t> var = Fixture(gzName); \
  if (var.empty()) GTEST_SKIP() << "fixture " << (gzName) << " is not available"

TEST(ProfessionalFatGeometry, TwoAnchorsGiveTheClusterSizeAndTheDataArea) {
  ClusterGeometry g;
  ASSERT_TRUE(FatGeometryList::Derive({10, 5000}, {14, 5032}, 0, 100000, &g));
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  EXPECT_EQ(g.dataStartSector, 4936u);
  // Order does not matter; a volume start is kept and the data start is relative to it.
  ASSERT_TRUE(FatGeometryList::Derive({14, 7080}, {10, 7048}, 2048, 100000, &g));
  EXPECT_EQ(g.dataStartSector, 4936u);
  EXPECT_EQ(g.volumeStartSector, 2048u);
  uint64_t sector = 0;
  ASSERT_TRUE(g.ClusterSector(2, &sector));
  EXPECT_EQ(sector, 2048u + 4936u);
  // 3 clusters 15 sectors apart: 5 sectors per cluster is no power of two.
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {13, 5015}, 0, 100000, &g));
  // Distances that do not divide, one cluster twice, sectors running the wrong way.
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {13, 5013}, 0, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {10, 6000}, 0, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {14, 4968}, 0, 100000, &g));
  // A first data sector before the volume (negative) or past its end.
  EXPECT_FALSE(FatGeometryList::Derive({10, 5}, {14, 37}, 0, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({10, 3000}, {14, 3032}, 2940, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {14, 5032}, 0, 4000, &g));
  // More than 128 sectors per cluster; clusters 0 and 1; numbers near the top.
  EXPECT_FALSE(FatGeometryList::Derive({10, 5000}, {11, 5256}, 0, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({1, 5000}, {2, 5008}, 0, 100000, &g));
  EXPECT_FALSE(FatGeometryList::Derive({0x0FFFFFF0, UINT64_MAX - 8}, {0x0FFFFFF1, UINT64_MAX}, 0, 0, &g));
  ClusterGeometry huge{128, 0xFFFFFFFF, UINT64_MAX - 10};
  EXPECT_FALSE(huge.ClusterSector(0x0FFFFFF6, &sector));
}

TEST(ProfessionalFatGeometry, AStaleGeometryDoesNotKeepTheDirectoriesFromTheirOwn) {
  FatGeometryList list;
  list.SetVolume(0, 100000);
  EXPECT_EQ(list.NoteDirectoryStart(10, 5000), -1);  // an anchor
  EXPECT_EQ(list.NoteDirectoryStart(14, 5032), 0);   // derived from the two
  EXPECT_EQ(list.NoteDirectoryStart(20, 5080), 0);   // placed at once
  EXPECT_EQ(list.Size(), 1u);
  // Garbage anchors cost bounded memory.
  for (uint32_t i = 0; i < 10000; ++i) (void)list.NoteDirectoryStart(1000000 + i * 7, 3 + i * 5);
  EXPECT_LE(list.AnchorCount(), FatGeometryList::kMaxAnchors);
  EXPECT_LE(list.Size(), FatGeometryList::kMaxGeometries);
}

TEST(ProfessionalFatRobustness, AFat12RootTakesItsSizeFromTheBootSector) {
  QM_BYTES_OR_SKIP(bytes, "fat12.img.gz");  // 224 root entries: 14 sectors, not 32
  auto scan = RunProfessional(bytes, /*freeSpaceOnly=*/false);
  EXPECT_EQ(scan->finish, kStatusOk);
  const FatGeometryList& geometries = scan->engine->Geometries();
  ASSERT_GE(geometries.Size(), 1u);
  EXPECT_TRUE(geometries.At(0).fromBootSector);
  EXPECT_EQ(geometries.At(0).cluster.dataStartSector, 33u);
  EXPECT_EQ(geometries.At(0).rootDirSectors, 14u);
  EXPECT_EQ(geometries.Size(), 1u);  // the boot sector places every directory: nothing to derive
  // The root's own entries name its folders and hold its files.
  ASSERT_NE(scan->found.find("/Docs/Archive"), scan->found.end());
  ASSERT_NE(scan->found.find("/readme.txt"), scan->found.end());
  EXPECT_EQ(+scan->found["/readme.txt"].record.size, 1200u);
  ASSERT_NE(scan->found.find("/Trash Folder/Sub/!.txt"), scan->found.end());  // c.txt, deleted
  EXPECT_EQ(+scan->found["/Trash Folder"].record.isDeleted, 1);
  EXPECT_EQ(+scan->found["/Trash Folder/Sub/!.txt"].record.isDeleted, 1);
  EXPECT_EQ(+scan->found["/Trash Folder/Sub/!.txt"].record.size, 1500u);
  // A root sector whose 8.3 names hold code-page letters (CAF\x90_\x90T) is a directory sector.
  ASSERT_NE(scan->found.find("/Café_été.txt"), scan->found.end());
  EXPECT_EQ(+scan->found["/Café_été.txt"].record.size, 800u);
  EXPECT_EQ(+scan->found["/Résumé déjà vu.txt"].record.isDeleted, 1);
}

TEST(ProfessionalFatRobustness, ADeletedEntryThatLostItsHighWordFindsItsCluster) {
  QM_BYTES_OR_SKIP(bytes, "fat32_512.img.gz");
  auto scan = RunProfessional(bytes, /*freeSpaceOnly=*/false);
  auto it = scan->found.find("/Photos/High Cluster Photo.jpg");
  ASSERT_NE(it, scan->found.end());
  EXPECT_EQ(+it->second.record.locator, 67756);
  EXPECT_EQ(+it->second.record.isIntact, 1);
}

TEST(ProfessionalFatRobustness, ParentLoopsEndUnderTheRoot) {
  QM_BYTES_OR_SKIP(bytes, "fat16_quick.img.gz");
  // /Docs (cluster 2) and /Docs/Archive name each other as parent.
  const size_t docs = DirectoryStartOf(bytes, 2);
  ASSERT_NE(docs, std::string::npos);
  size_t archiveEntry = std::string::npos;
  for (size_t at = docs; at < docs + 2048; at += 32) {
    if (std::memcmp(bytes.data() + at, "ARCHIVE    ", 11) == 0) archiveEntry = at;
  }
  ASSERT_NE(archiveEntry, std::string::npos);
  const size_t archive = DirectoryStartOf(bytes, fat::EntryCluster(bytes.data() + archiveEntry));
  ASSERT_NE(archive, std::string::npos);
  const uint32_t archiveCluster = fat::EntryCluster(bytes.data() + archive);
  Put16(bytes, docs + 32 + 26, static_cast<uint16_t>(archiveCluster));
  // And a directory that is its own parent.
  const size_t frag = DirectoryStartOf(bytes, 31);
  if (frag != std::string::npos) Put16(bytes, frag + 32 + 26, 31);
  auto scan = RunProfessional(bytes, true);
  EXPECT_EQ(scan->finish, kStatusOk);
  // Both directories are still there, one inside the other, their files with them.
  bool pdf = false;
  bool zip = false;
  for (const auto& [path, item] : scan->found) {
    pdf |= path.size() >= 11 && path.compare(path.size() - 11, 11, "/report.pdf") == 0;
    zip |= path.size() >= 11 && path.compare(path.size() - 11, 11, "/backup.zip") == 0;
  }
  EXPECT_TRUE(pdf);
  EXPECT_TRUE(zip);
}

TEST(ProfessionalFatRobustness, DotEntriesNamingNoClusterAndAbsurdNumbers) {
  QM_BYTES_OR_SKIP(bytes, "fat16_quick.img.gz");
  const size_t docs = DirectoryStartOf(bytes, 2);
  ASSERT_NE(docs, std::string::npos);
  // "." of /Docs names cluster 1; its subfolder entry names 0x0FFFFFFF.
  Put16(bytes, docs + 26, 1);
  Put16(bytes, docs + 64 + 20, 0x0FFF);
  Put16(bytes, docs + 64 + 26, 0xFFFF);
  // Another directory's "." with a high word of 0xFFFF.
  size_t other = std::string::npos;
  for (size_t at = docs + 512; at + 512 <= bytes.size(); at += 512) {
    if (IsDirectoryStart(bytes.data() + at, 512)) {
      other = at;
      break;
    }
  }
  ASSERT_NE(other, std::string::npos);
  Put16(bytes, other + 20, 0xFFFF);
  auto scan = RunProfessional(bytes, true);
  EXPECT_EQ(scan->finish, kStatusOk);
  // /Docs is no directory now, but its files are still given back.
  bool pdf = false;
  for (const auto& [path, item] : scan->found) {
    EXPECT_NE(+item.record.locator, 1) << path;
    pdf |= path.find("report.pdf") != std::string::npos;
  }
  EXPECT_TRUE(pdf);
}

TEST(ProfessionalFatRobustness, AVolumeFullOfDirectoryLookingSectors) {
  QM_BYTES_OR_SKIP(source, "fat16_quick.img.gz");
  const size_t docs = DirectoryStartOf(source, 2);
  ASSERT_NE(docs, std::string::npos);
  // 2 MiB of copies of one directory's first sector, and no boot sector.
  std::vector<uint8_t> bytes(size_t{2} << 20);
  for (size_t at = 0; at < bytes.size(); at += 512) std::memcpy(bytes.data() + at, source.data() + docs, 512);
  auto scan = RunProfessional(bytes, false);
  EXPECT_EQ(scan->finish, kStatusOk);
  EXPECT_EQ(scan->engine->Geometries().Size(), 0u);  // one cluster everywhere: no geometry
  EXPECT_EQ(scan->engine->Pieces().Pieces().size(), bytes.size() / 512);
  // Every copy but one is a run of its own that no directory owns.
  EXPECT_LE(scan->engine->GetItemCount(), uint64_t{17} * (bytes.size() / 512));
}

TEST(ProfessionalFatRobustness, KeptPiecesAreBounded) {
  QM_BYTES_OR_SKIP(source, "fat16_quick.img.gz");
  // A full directory sector (no end mark) that is not a directory start.
  std::vector<uint8_t> sector;
  for (size_t at = 0; at + 512 <= source.size() && sector.empty(); at += 512) {
    const uint8_t* s = source.data() + at;
    bool full = IsDirectorySector(s, 512) && !IsDirectoryStart(s, 512);
    for (size_t e = 0; full && e < 512; e += 32) full = s[e] != 0;
    if (full) sector.assign(s, s + 512);
  }
  ASSERT_FALSE(sector.empty());
  fat::DirectoryPieceLog log;
  const uint64_t count = fat::DirectoryPieceLog::kMaxPieces + 5;
  for (uint64_t i = 0; i < count; ++i) log.AddDirectorySector(sector.data(), 512, 2 * i);  // never adjacent
  EXPECT_EQ(log.Pieces().size(), fat::DirectoryPieceLog::kMaxPieces);
  EXPECT_EQ(log.DroppedSectors(), 5u);
  EXPECT_LE(log.SubfolderClusters().size(), fat::DirectoryPieceLog::kMaxSubfolderRefs);
  // A sector right behind the last piece still continues it.
  log.AddDirectorySector(sector.data(), 512, 2 * (fat::DirectoryPieceLog::kMaxPieces - 1) + 1);
  EXPECT_EQ(log.DroppedSectors(), 5u);
}

TEST(ProfessionalFatRobustness, AFileClaimingMoreThanTheVolumeIsDamagedAndNotCopied) {
  QM_BYTES_OR_SKIP(bytes, "fat16_quick.img.gz");
  const size_t docs = DirectoryStartOf(bytes, 2);
  ASSERT_NE(docs, std::string::npos);
  // The short entry of report.pdf claims 2 GiB.
  size_t entry = std::string::npos;
  for (size_t at = docs; at < docs + 2048; at += 32) {
    if (std::memcmp(bytes.data() + at, "REPORT  PDF", 11) == 0) entry = at;
  }
  ASSERT_NE(entry, std::string::npos);
  Put32(bytes, entry + 28, 0x7FFFFFFF);
  auto scan = RunProfessional(bytes, true);
  auto it = scan->found.find("/LostFolder2/report.pdf");
  ASSERT_NE(it, scan->found.end());
  EXPECT_EQ(+it->second.record.isIntact, 0);
  testing_support::TempDir out;
  Status status = kStatusOk;
  EXPECT_TRUE(deep_testing::Recover(*scan->engine, it->second.record, out.path(), &status).empty());
  EXPECT_EQ(status, kStatusReadFault);
}

TEST(ProfessionalFatRobustness, ADirectoryNoGeometryPlacesKeepsItsFilesWithoutCopies) {
  QM_BYTES_OR_SKIP(source, "fat16_quick.img.gz");
  const size_t docs = DirectoryStartOf(source, 2);
  ASSERT_NE(docs, std::string::npos);
  // One directory's first cluster alone on an empty volume: one anchor, no geometry.
  std::vector<uint8_t> bytes(size_t{1} << 20, 0);
  std::memcpy(bytes.data() + 300 * 512, source.data() + docs, 2048);
  auto scan = RunProfessional(bytes, false);
  EXPECT_EQ(scan->finish, kStatusOk);
  EXPECT_EQ(scan->engine->Geometries().Size(), 0u);
  auto folder = scan->found.find("/LostFolder2");
  ASSERT_NE(folder, scan->found.end());
  EXPECT_EQ(+folder->second.record.clusterBytes, -1);
  auto pdf = scan->found.find("/LostFolder2/report.pdf");
  ASSERT_NE(pdf, scan->found.end());
  EXPECT_EQ(+pdf->second.record.clusterBytes, -1);
  EXPECT_GT(+pdf->second.record.size, 0u);
  testing_support::TempDir out;
  Status status = kStatusOk;
  EXPECT_TRUE(deep_testing::Recover(*scan->engine, pdf->second.record, out.path(), &status).empty());
  EXPECT_EQ(status, kStatusInvalidParameter);
  // The subfolder entry still names its folder's cluster, though that folder was never seen.
  EXPECT_EQ(scan->found.count("/LostFolder2/Archive"), 0u);
}

TEST(ProfessionalFatRobustness, ADirectoryThatCannotBeReadAgainKeepsItsPlaceAndTheErrorIsReported) {
  QM_BYTES_OR_SKIP(bytes, "fat16_quick.img.gz");
  const size_t docs = DirectoryStartOf(bytes, 2);
  ASSERT_NE(docs, std::string::npos);
  ScanHome home;
  // The coordinator's reader sees every sector; the engine's own read of
  // /Docs's first sector fails when the scan finishes.
  storage::SectorSource clean;
  storage::OpenMemorySource(clean, bytes);
  storage::SectorSource failing;
  storage::OpenMemorySource(failing, bytes, {{docs / 512}, nullptr});
  fat::CProfessionalFatRecovery engine;
  ASSERT_EQ(engine.OpenSharedSource(failing, 512, 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.BeginFatScan(nullptr), kStatusOk);
  (void)engine.PrepareFatGeometry();
  (void)deep_testing::FeedExtents(clean, 0, FreeExtentsOf(bytes), &engine, nullptr);
  EXPECT_EQ(engine.FinishFatScan(), kStatusReadFault);
  const auto found = CollectAll(engine);
  // The folder stays, with its subfolder (unnamed now: its entry was in the
  // lost sector) and that subfolder's files; its own entries are lost.
  EXPECT_EQ(found.count("/LostFolder2"), 1u);
  bool archive = false;
  for (const auto& [path, item] : found) {
    archive |= path.rfind("/LostFolder2/LostFolder", 0) == 0 && path.find("/backup.zip") != std::string::npos;
  }
  EXPECT_TRUE(archive);
  EXPECT_EQ(found.count("/LostFolder2/report.pdf"), 0u);
}

int32_t StopAtOnce(void* userData, int32_t, int32_t, int32_t, uint64_t, uint64_t, uint64_t, int32_t) {
  ++*static_cast<int*>(userData);
  return kStatusCancelled;
}

TEST(ProfessionalFatRobustness, ACancelWhileFinishingKeepsTheFoldersFound) {
  QM_BYTES_OR_SKIP(bytes, "fat32_tree.img.gz");
  ScanHome home;
  storage::SectorSource source;
  storage::OpenMemorySource(source, bytes);
  fat::CProfessionalFatRecovery engine;
  ASSERT_EQ(engine.OpenSharedSource(source, 512, 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.BeginFatScan(nullptr), kStatusOk);
  (void)engine.PrepareFatGeometry();
  (void)deep_testing::FeedExtents(source, 0, FreeExtentsOf(bytes), &engine, nullptr);
  int calls = 0;
  ASSERT_EQ(engine.SetProgressCallbacks(StopAtOnce, nullptr, &calls, 90), kStatusOk);
  EXPECT_EQ(engine.FinishFatScan(), kStatusCancelled);
  EXPECT_EQ(calls, 1);
  EXPECT_GT(engine.GetItemCount(), 0u);
  std::vector<ItemRecord> root;
  EXPECT_EQ(engine.ListChildren(nullptr, 0, root), kStatusOk);
  EXPECT_FALSE(root.empty());
}

TEST(ProfessionalFatRobustness, AStoredScanIsReopenedWithoutScanning) {
  QM_BYTES_OR_SKIP(bytes, "fat16_quick.img.gz");
  auto scan = RunProfessional(bytes, true);
  const std::string name = scan->engine->StoreBaseName();
  ASSERT_EQ(name.rfind("Pro_Fat_0_", 0), 0u) << name;
  fat::CProfessionalFatRecovery again;
  ASSERT_EQ(again.OpenSharedSource(scan->source, 512, 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(again.BeginFatScan(name.c_str()), kStatusOk);
  const auto found = CollectAll(again);
  EXPECT_EQ(found.size(), scan->found.size());
  for (const auto& [path, item] : scan->found) EXPECT_EQ(found.count(path), 1u) << path;
  std::vector<ItemRecord> none;
  EXPECT_EQ(again.ListChildren(nullptr, 4, none), kStatusInvalidParameter);
  uint64_t sector = 0;
  uint64_t count = 0;
  EXPECT_EQ(again.GetNextFreeExtent(&sector, &count), 0);
  EXPECT_EQ(again.Scan(nullptr), kStatusOk);
}

}  // namespace
}  // namespace engine::fat_testing
