// SPDX-License-Identifier: GPL-3.0-or-later
// The professional FAT engine on real volumes fed sector by sector as the
// deep-scan coordinator feeds it: quick-formatted FAT32 and FAT16 volumes
// (mkfs.fat run again over a populated volume), one reformatted with another
// cluster size, the same with the boot sector zeroed, and a deleted folder
// tree whose directories grew between file data, scanned in deep mode.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/output_path.h"
#include "tests/engine/fat/professional_fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using fat::FatGeometryList;
using fat::KnownGeometry;
using testing_support::ManifestRow;

bool Has(const std::string& text, const std::string& word) {
  return text.find(word) != std::string::npos;
}

uint32_t NoteCluster(const std::string& note) {
  std::smatch m;
  return std::regex_search(note, m, std::regex("cluster=(\\d+)")) ? static_cast<uint32_t>(std::stoul(m[1])) : 0;
}

// A number from a "# key=value ..." line of a manifest.
uint64_t HeaderValue(const std::string& manifest, const std::string& line, const std::string& key) {
  const std::string text(reinterpret_cast<const char*>(testing_support::ReadFileBytes(manifest).data()),
                         testing_support::ReadFileBytes(manifest).size());
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("# " + line + "[^\\n]*\\b" + key + "=(\\d+)"))) return 0;
  return std::stoull(m[1]);
}

// How a name written by mtools reads back: a plain upper-case 8.3 name has no
// long name, and short names read in lower case.
std::string ShownName(const std::string& name) {
  static const std::regex plain("[A-Z0-9_]{1,8}(\\.[A-Z0-9]{1,3})?");
  return std::regex_match(name, plain) ? Lower(name) : name;
}

// The path the engine shows for a path of the volume before its format: the
// root was cleared, so a top folder is "LostFolder<its cluster>".
std::string ExpectedPath(const std::string& path, const std::map<std::string, uint32_t>& topClusters) {
  const size_t second = path.find('/', 1);
  const std::string top = path.substr(0, second);
  std::string out = "/LostFolder" + std::to_string(topClusters.at(top));
  for (size_t at = second; at != std::string::npos;) {
    const size_t next = path.find('/', at + 1);
    out += "/" + ShownName(path.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1));
    at = next;
  }
  return out;
}

class QuickFormatTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_manifest = testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv");
    m_rows = testing_support::ReadManifest(m_manifest);
    ASSERT_FALSE(m_rows.empty());
    m_bytes = testing_support::ReadFileBytes(m_image);
    for (const ManifestRow& row : m_rows) {
      if (row.path.find('/', 1) == std::string::npos && row.size == "-") m_top[row.path] = NoteCluster(row.note);
    }
  }

  // Every folder and file below a top folder comes back at its place with
  // its name, size and content; nothing else is found.
  void CheckEverything(ProScan& scan) {
    EXPECT_EQ(scan.finish, kStatusOk);
    EXPECT_EQ(scan.engine->DroppedDirectorySectors(), 0u);
    size_t files = 0;
    for (const ManifestRow& row : m_rows) {
      if (Has(row.note, "overwritten")) continue;
      const bool inRoot = row.path.find('/', 1) == std::string::npos;
      if (inRoot && row.size != "-") {
        // The root's own entries went with the format.
        for (const auto& [path, item] : scan.found) EXPECT_NE(path, row.path);
        continue;
      }
      const std::string expected =
          inRoot ? "/LostFolder" + std::to_string(m_top.at(row.path)) : ExpectedPath(row.path, m_top);
      auto it = scan.found.find(expected);
      ASSERT_NE(it, scan.found.end()) << "not found: " << expected << " (" << row.path << ")";
      const ItemRecord& r = it->second.record;
      EXPECT_EQ(+r.sourceKind, 3);
      EXPECT_EQ(+r.driveLetter, 'P');
      if (row.size == "-") {
        EXPECT_EQ(+r.isFolder, 1) << expected;
        EXPECT_EQ(+r.locator, static_cast<int32_t>(NoteCluster(row.note))) << expected;
        continue;
      }
      ++files;
      EXPECT_EQ(+r.isFolder, 0) << expected;
      EXPECT_EQ(std::to_string(r.size), row.size) << expected;
      EXPECT_EQ(+r.isDeleted, row.state == "deleted" ? 1 : 0) << expected;
      if (Has(row.note, "fragmented")) {
        // Read from consecutive clusters it would not be this file: said so.
        EXPECT_EQ(+r.isIntact, 0) << expected;
        continue;
      }
      EXPECT_EQ(+r.isIntact, 1) << expected;
      EXPECT_EQ(static_cast<uint32_t>(r.locator), NoteCluster(row.note)) << expected;
      Status status = kStatusOk;
      const std::vector<uint8_t> bytes = deep_testing::Extract(*scan.engine, r, &status);
      EXPECT_EQ(status, kStatusOk) << expected;
      EXPECT_EQ(testing_support::Sha256OfBytes(bytes), row.sha256) << expected;
    }
    size_t foundFiles = 0;
    for (const auto& [path, item] : scan.found) foundFiles += item.record.isFolder == 0 ? 1 : 0;
    EXPECT_EQ(foundFiles, files);
    int32_t count = -1;
    EXPECT_EQ(scan.engine->CountFiles(nullptr, 0, &count), kStatusOk);
    EXPECT_EQ(count, static_cast<int32_t>(files));
  }

  std::string m_image;
  std::string m_manifest;
  std::vector<ManifestRow> m_rows;
  std::vector<uint8_t> m_bytes;
  std::map<std::string, uint32_t> m_top;
  testing_support::TempDir m_out;
};

TEST_P(QuickFormatTest, FoldersAndFilesComeBackWithNamesSizesAndContent) {
  auto scan = RunProfessional(m_bytes, /*freeSpaceOnly=*/true);
  CheckEverything(*scan);
  // The directory whose entry went with the root is "LostFolder<cluster>",
  // holding what it held; the camera folder holds all its pictures although
  // its directory grew between them.
  const std::string camera = "/LostFolder" + std::to_string(m_top.at("/DCIM")) + "/100canon";
  int32_t pictures = 0;
  ASSERT_NE(scan->found.find(camera), scan->found.end());
  EXPECT_EQ(scan->engine->CountFiles(&scan->found[camera].record, 2, &pictures), kStatusOk);
  EXPECT_EQ(pictures, 40);
  // A file without the archive bit is a file.
  const auto plain = scan->found.find("/LostFolder" + std::to_string(m_top.at("/Docs")) + "/plain.txt");
  ASSERT_NE(plain, scan->found.end());
  EXPECT_EQ(+plain->second.record.isFolder, 0);
  std::string path;
  EXPECT_EQ(scan->engine->GetItemPath(&plain->second.record, path), kStatusOk);
  EXPECT_EQ(path, "LostFolder" + std::to_string(m_top.at("/Docs")) + "\\");
}

TEST_P(QuickFormatTest, TheGeometryTheDirectoriesAgreeOnWins) {
  auto scan = RunProfessional(m_bytes, true);
  const uint64_t clusterBytes = HeaderValue(m_manifest, "before_format", "cluster_size");
  const uint64_t dataStart = HeaderValue(m_manifest, "before_format", "first_data_sector");
  ASSERT_GT(clusterBytes, 0u);
  const FatGeometryList& geometries = scan->engine->Geometries();
  ASSERT_GE(geometries.Size(), 1u);
  EXPECT_TRUE(geometries.At(0).fromBootSector);
  bool agreed = false;
  for (const KnownGeometry& g : geometries.All()) {
    agreed |= g.cluster.sectorsPerCluster * 512u == clusterBytes && g.cluster.dataStartSector == dataStart;
  }
  EXPECT_TRUE(agreed);
  // The boot sector's geometry places /Docs's directory where it lies (in
  // fat16_stale the new layout does so by chance and places no other one).
  uint64_t docsSector = 0;
  ASSERT_TRUE(geometries.At(0).cluster.ClusterSector(m_top.at("/Docs"), &docsSector));
  EXPECT_TRUE(geometries.Fits(0, m_top.at("/Docs"), docsSector));
  // Every folder and file is read in the old layout, also where the new boot sector says otherwise.
  for (const auto& [path, item] : scan->found) {
    if (item.record.clusterBytes == -1) continue;  // placeholders
    EXPECT_EQ(static_cast<uint64_t>(item.record.clusterBytes), clusterBytes) << path;
    EXPECT_EQ(+item.record.dataStartSector, dataStart) << path;
  }
}

TEST_P(QuickFormatTest, WithoutABootSectorTheDirectoriesGiveTheGeometry) {
  std::fill(m_bytes.begin(), m_bytes.begin() + 512, 0);
  auto scan = RunProfessional(m_bytes, true);  // nothing opens: the whole volume is fed
  const FatGeometryList& geometries = scan->engine->Geometries();
  ASSERT_EQ(geometries.Size(), 1u);
  EXPECT_FALSE(geometries.At(0).fromBootSector);
  EXPECT_EQ(geometries.At(0).cluster.sectorsPerCluster * 512u,
            HeaderValue(m_manifest, "before_format", "cluster_size"));
  EXPECT_EQ(geometries.At(0).cluster.dataStartSector, HeaderValue(m_manifest, "before_format", "first_data_sector"));
  CheckEverything(*scan);
}

TEST_P(QuickFormatTest, RecoveringAFolderCopiesItsSubtree) {
  auto scan = RunProfessional(m_bytes, true);
  const std::string docs = "/LostFolder" + std::to_string(m_top.at("/Docs"));
  auto it = scan->found.find(docs);
  ASSERT_NE(it, scan->found.end());
  const std::string root = m_out.path() + "restored";
  ASSERT_EQ(scan->engine->RecoverItem(&it->second.record, root + "/Docs", SeparatorCount(root + "/")), kStatusOk);
  for (const ManifestRow& row : m_rows) {
    if (row.path.rfind("/Docs/", 0) != 0 || row.size == "-" || Has(row.note, "overwritten")) continue;
    // The path below the folder, as the engine names it.
    const std::string shown = ExpectedPath(row.path, m_top).substr(docs.size());
    EXPECT_EQ(testing_support::Sha256OfFile(root + "/Docs" + shown), row.sha256) << row.path;
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, QuickFormatTest, ::testing::Values("fat32_quick", "fat16_quick", "fat16_stale"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

class DeletedTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture("fat32_tree.img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture fat32_tree is not available";
    m_rows = testing_support::ReadManifest(testing_support::FixturePath("fat32_tree.manifest.tsv"));
    m_bytes = testing_support::ReadFileBytes(m_image);
  }

  // Every deleted file comes back once, whole, in its own folder.
  void CheckTree(ProScan& scan) {
    EXPECT_EQ(scan.finish, kStatusOk);
    // Files are told apart by their first cluster (a file whose long name
    // began in a lost part of its directory shows its short name).
    std::map<uint32_t, const FoundItem*> byCluster;
    for (const auto& [path, item] : scan.found) {
      if (item.record.isFolder != 0) continue;
      const uint32_t cluster = static_cast<uint32_t>(item.record.locator);
      EXPECT_EQ(byCluster.count(cluster), 0u) << "twice: " << path;
      byCluster[cluster] = &item;
    }
    int inPlace = 0;
    int deleted = 0;
    for (const ManifestRow& row : m_rows) {
      if (row.size == "-" || row.state != "deleted") continue;
      ++deleted;
      auto it = byCluster.find(NoteCluster(row.note));
      ASSERT_NE(it, byCluster.end()) << "not found: " << row.path;
      const FoundItem& item = *it->second;
      EXPECT_EQ(std::to_string(item.record.size), row.size) << row.path;
      EXPECT_EQ(+item.record.isDeleted, 1) << row.path;
      EXPECT_EQ(+item.record.isIntact, 1) << row.path;
      EXPECT_EQ(testing_support::Sha256OfBytes(deep_testing::Extract(*scan.engine, item.record)), row.sha256)
          << row.path;
      EXPECT_EQ(item.path, row.path);
      inPlace += item.path == row.path ? 1 : 0;
    }
    // The later clusters of every directory follow its first: the names
    // continue (round_03_folder_24, round_05_folder_24) and a long name cut
    // at the edge is finished there.
    EXPECT_EQ(inPlace, deleted);
    EXPECT_GT(deleted, 400);
    // The live folder outside the free space is named by reading it; its live file is not this scan's.
    ASSERT_NE(scan.found.find("/Keep"), scan.found.end());
    EXPECT_EQ(+scan.found["/Keep"].record.isDeleted, 0);
    EXPECT_EQ(scan.found.find("/Keep/keep.txt"), scan.found.end());
    ASSERT_NE(scan.found.find("/Tree"), scan.found.end());
    EXPECT_EQ(+scan.found["/Tree"].record.isDeleted, 1);
    EXPECT_EQ(+scan.found["/Tree/folder_07"].record.isDeleted, 1);
  }

  std::string m_image;
  std::vector<ManifestRow> m_rows;
  std::vector<uint8_t> m_bytes;
  testing_support::TempDir m_out;
};

TEST_F(DeletedTreeTest, DeepModeGivesBackEveryFile) {
  auto scan = RunProfessional(m_bytes, /*freeSpaceOnly=*/true);
  CheckTree(*scan);
}

TEST_F(DeletedTreeTest, TheWholeVolumeGivesTheSameTree) {
  auto scan = RunProfessional(m_bytes, /*freeSpaceOnly=*/false);
  EXPECT_EQ(scan->finish, kStatusOk);
  // The live root and /Keep are read as pieces now: their live files are found too.
  ASSERT_NE(scan->found.find("/Keep/keep.txt"), scan->found.end());
  EXPECT_EQ(+scan->found["/Keep/keep.txt"].record.isDeleted, 0);
  EXPECT_EQ(+scan->found["/Tree/folder_12"].record.isFolder, 1);
  EXPECT_EQ(+scan->found["/Keep/Gone/first gone.txt"].record.size, 1200u);
}

}  // namespace
}  // namespace engine::fat_testing
