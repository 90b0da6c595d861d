// SPDX-License-Identifier: GPL-3.0-or-later
// The professional exFAT engine fed sector by sector, as the deep-scan
// coordinator feeds it: quick-formatted volumes (same geometry, and a new
// cluster size), intact volumes, the public images and their listings, and
// sectors that only look like directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/output_path.h"
#include "platform/file_time.h"
#include "platform/folders.h"
#include "platform/utf.h"
#include "tests/engine/browse_search_invariant.h"
#include "tests/engine/exfat/exfat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {
namespace {

using testing_support::ManifestRow;

// The path a file of the manifest is found at after the format lost the
// root directory: its top folder becomes "LostFolder<its cluster>".
std::string PathAfterFormat(const std::string& path, const std::vector<ManifestRow>& rows) {
  const size_t second = path.find('/', 1);
  if (second == std::string::npos) return {};  // it was in the root
  const std::string top = path.substr(0, second);
  for (const ManifestRow& row : rows) {
    if (row.path == top) return "/LostFolder" + std::to_string(NoteCluster(row.note)) + path.substr(second);
  }
  return {};
}

class FormattedVolumeTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    m_image = testing_support::UnpackedFixture(std::string(GetParam()) + ".img.gz");
    if (m_image.empty()) GTEST_SKIP() << "fixture " << GetParam() << " is not available";
    m_rows = testing_support::ReadManifest(testing_support::FixturePath(std::string(GetParam()) + ".manifest.tsv"));
    m_scan = std::make_unique<DeepScan>(m_image);
    ASSERT_EQ(m_scan->finished, kStatusOk);
    m_found = CollectAll(m_scan->engine);
  }

  ScanHome m_home;
  std::string m_image;
  std::vector<ManifestRow> m_rows;
  std::unique_ptr<DeepScan> m_scan;
  std::map<std::string, FoundItem> m_found;
};

TEST_P(FormattedVolumeTest, FilesOfEveryFolderButTheRootComeBackWithTheirTreeAndBytes) {
  testing_support::TempDir out;
  int checked = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.size == "-") continue;
    const std::string path = PathAfterFormat(row.path, m_rows);
    if (path.empty()) continue;
    auto it = m_found.find(path);
    ASSERT_NE(it, m_found.end()) << "not found: " << path;
    const ItemRecord& item = it->second.record;
    EXPECT_EQ(+item.sourceKind, static_cast<int32_t>(SourceKind::kProfessionalExFat));
    EXPECT_EQ(+item.size, std::stoull(row.size)) << path;
    EXPECT_EQ(+item.isDeleted, row.state == "deleted" ? 1 : 0) << path;
    EXPECT_EQ(static_cast<uint32_t>(item.locator), NoteCluster(row.note)) << path;
    EXPECT_EQ(+item.isIntact, 1) << path;
    const std::string target = out.path() + "f" + std::to_string(++checked);
    ASSERT_EQ(m_scan->engine.RecoverItem(&item, target, SeparatorCount(out.path())), kStatusOk) << path;
    EXPECT_EQ(testing_support::Sha256OfFile(target), row.sha256) << path;
  }
  EXPECT_GE(checked, 14);
  // The old geometry: 4 KiB clusters, the heap at 2 MiB.
  ASSERT_TRUE(m_scan->engine.SettledGeometry().has_value());
  EXPECT_EQ(m_scan->engine.SettledGeometry()->clusterBytes, 4096u);
  EXPECT_EQ(m_scan->engine.SettledGeometry()->heapByte, 2u << 20);
  EXPECT_GE(m_scan->engine.SettledGeometry()->folderVotes, 3u);
}

TEST_P(FormattedVolumeTest, FoldersNamedInTheirParentKeepTheirNamesAndDeletedMarks) {
  const std::string trash = PathAfterFormat("/Trash Folder/Sub", m_rows);
  ASSERT_EQ(m_found.count(trash), 1u) << trash;
  EXPECT_EQ(+m_found.at(trash).record.isFolder, 1);
  EXPECT_EQ(+m_found.at(trash).record.isDeleted, 1);
  const std::string camera = PathAfterFormat("/DCIM/100CANON", m_rows);
  ASSERT_EQ(m_found.count(camera), 1u) << camera;
  EXPECT_EQ(+m_found.at(camera).record.isDeleted, 0);
  std::string path;
  ASSERT_EQ(m_scan->engine.GetItemPath(&m_found.at(camera + "/IMG_0001.JPG").record, path), kStatusOk);
  EXPECT_EQ(path, camera.substr(1, camera.find('/', 1) - 1) + "\\100CANON\\");
  testing_invariant::ExpectBrowsingFindsWhatSearchFinds(m_scan->engine, GetParam());
}

TEST_P(FormattedVolumeTest, AStoredScanReopensWithTheSameItems) {
  const std::string name = m_scan->engine.StoreBaseName();
  exfat::CProfessionalExFatRecovery again;
  ASSERT_EQ(again.OpenImage(m_image, 'P'), kStatusOk);
  ASSERT_EQ(again.BeginExFatScan(name.c_str()), kStatusOk);
  EXPECT_EQ(CollectAll(again).size(), m_found.size());
}

INSTANTIATE_TEST_SUITE_P(QuickFormats, FormattedVolumeTest, ::testing::Values("exfat_formatted", "exfat_reformatted"));

TEST(ProfessionalExFat, TheReformattedVolumesGeometryComesFromItsDirectoriesNotItsBootRegion) {
  const std::string image = testing_support::UnpackedFixture("exfat_reformatted.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_reformatted is not available";
  ScanHome home;
  DeepScan scan(image);
  ASSERT_TRUE(scan.bootGeometry);  // the new boot region: 32 KiB clusters
  ASSERT_TRUE(scan.engine.SettledGeometry().has_value());
  EXPECT_FALSE(scan.engine.SettledGeometry()->fromBoot);
  EXPECT_EQ(scan.engine.SettledGeometry()->clusterBytes, 4096u);
}

TEST(ProfessionalExFat, AnIntactVolumeIsRebuiltWholeWithItsRoot) {
  const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
  const auto rows = testing_support::ReadManifest(testing_support::FixturePath("exfat_512.manifest.tsv"));
  ScanHome home;
  DeepScan scan(image);
  ASSERT_EQ(scan.finished, kStatusOk);
  EXPECT_TRUE(scan.engine.SettledGeometry()->fromBoot);
  const auto found = CollectAll(scan.engine);
  for (const ManifestRow& row : rows) {
    if (row.note.find("fragmented") != std::string::npos) continue;  // its chain is not followed
    ASSERT_EQ(found.count(row.path), 1u) << row.path;
    EXPECT_EQ(+found.at(row.path).record.isDeleted, row.state == "deleted" ? 1 : 0) << row.path;
  }
  EXPECT_EQ(found.count("/Docs/Live " + std::string(246, 'L') + ".txt"), 1u);
}

// The raw engine too: a data length past what the volume holds is damaged and never copied.
TEST(ProfessionalExFat, ADataLengthPastWhatTheVolumeHoldsIsDamagedAndNeverCopied) {
  const std::string fixture = testing_support::UnpackedFixture("exfat_512.img.gz");
  if (fixture.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(fixture);
  const size_t at = FindEntrySet(bytes, "deleted_root.txt");
  ASSERT_NE(at, std::string::npos);
  Put64(bytes, at + 32 + 24, uint64_t{12} << 30);
  FixSetChecksum(bytes, at);
  testing_support::TempDir dir;
  testing_support::WriteFileBytes(dir.path() + "long.img", bytes);
  ScanHome home;
  DeepScan scan(dir.path() + "long.img");
  ASSERT_EQ(scan.finished, kStatusOk);
  const auto found = CollectAll(scan.engine);
  ASSERT_EQ(found.count("/deleted_root.txt"), 1u);
  const ItemRecord& item = found.at("/deleted_root.txt").record;
  EXPECT_EQ(StateOf(item), ItemState::kDamaged);
  EXPECT_EQ(+item.size, uint64_t{12} << 30);
  EXPECT_EQ(scan.engine.RecoverItem(&item, dir.path() + "out.bin", SeparatorCount(dir.path())),
            kStatusInvalidParameter);
  EXPECT_FALSE(platform::PathExists(dir.path() + "out.bin"));
}

TEST(ProfessionalExFat, NothingFedGivesAnEmptyStoreAndForeignSectorsAreNotDirectories) {
  ScanHome home;
  std::vector<uint8_t> zeros(1 << 20, 0);
  storage::SectorSource source = MemorySource(zeros);
  exfat::CProfessionalExFatRecovery engine;
  ASSERT_EQ(engine.OpenSharedSource(source, 512, 0, 0, 'P'), kStatusOk);
  ASSERT_EQ(engine.BeginExFatScan(nullptr), kStatusOk);
  EXPECT_FALSE(engine.PrepareExFatGeometry());
  EXPECT_EQ(engine.FinishExFatScan(), kStatusOk);
  EXPECT_EQ(engine.GetItemCount(), 0u);
  std::vector<ItemRecord> roots;
  EXPECT_EQ(engine.ListChildren(nullptr, 0, roots), kStatusOk);
  EXPECT_TRUE(roots.empty());

  // FAT directories, text, zeros and random bytes are not exFAT directories.
  std::vector<uint8_t> text(512, 'a');
  EXPECT_FALSE(exfat::IsExFatDirectorySector(text.data(), text.size(), 512));
  EXPECT_FALSE(exfat::IsExFatDirectorySector(zeros.data(), 512, 512));
  std::vector<uint8_t> noise(512);
  uint32_t x = 12345;
  for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  EXPECT_FALSE(exfat::IsExFatDirectorySector(noise.data(), noise.size(), 512));
  const std::string fat = testing_support::UnpackedFixture("fat32_512.img.gz");
  if (!fat.empty()) {
    const auto bytes = testing_support::ReadFileBytes(fat);
    int hits = 0;
    for (size_t at = 0; at + 512 <= bytes.size(); at += 512)
      hits += exfat::IsExFatDirectorySector(bytes.data() + at, 512, 512);
    EXPECT_EQ(hits, 0);
  }
}

TEST(ProfessionalExFat, DirectorySectorsAreTheOnesThatHoldEntrySets) {
  const std::string image = testing_support::UnpackedFixture("exfat_512.img.gz");
  if (image.empty()) GTEST_SKIP() << "fixture exfat_512 is not available";
  auto bytes = testing_support::ReadFileBytes(image);
  const size_t at = FindEntrySet(bytes, "deleted_root.txt");
  ASSERT_NE(at, std::string::npos);
  const size_t sector = at - at % 512;
  EXPECT_TRUE(exfat::IsExFatDirectorySector(bytes.data() + sector, 512, 512));
  // A live set whose checksum fails makes the sector fail; a deleted one is passed over.
  const size_t live = FindEntrySet(bytes, "README.TXT");
  ASSERT_NE(live, std::string::npos);
  const size_t liveSector = live - live % 512;
  ASSERT_LE(live + 96, liveSector + 512);  // the whole set lies in its sector
  EXPECT_TRUE(exfat::IsExFatDirectorySector(bytes.data() + liveSector, 512, 512));
  auto broken = bytes;
  broken[live + 8] ^= 1;
  EXPECT_FALSE(exfat::IsExFatDirectorySector(broken.data() + liveSector, 512, 512));
  auto brokenDeleted = bytes;
  brokenDeleted[at + 8] ^= 1;
  EXPECT_EQ(exfat::IsExFatDirectorySector(brokenDeleted.data() + sector, 512, 512),
            exfat::IsExFatDirectorySector(bytes.data() + sector, 512, 512));
  // A stray byte after the end of the directory fails it.
  size_t end = sector;
  while (bytes[end] != 0) end += 32;
  const size_t endSector = end - end % 512;
  ASSERT_TRUE(exfat::IsExFatDirectorySector(bytes.data() + endSector, 512, 512));
  auto stray = bytes;
  stray[end + 1] = 1;
  EXPECT_FALSE(exfat::IsExFatDirectorySector(stray.data() + endSector, 512, 512));
  EXPECT_FALSE(exfat::IsExFatDirectorySector(bytes.data() + sector, 511, 512));
  EXPECT_FALSE(exfat::IsExFatDirectorySector(nullptr, 512, 512));
}

// The public images: their listings (made on the systems that wrote them) are the answer key.
struct Listed {
  std::string path;
  uint64_t size = 0;
  bool folder = false;
  std::string created;  // "2022-01-23 20:35:23.400000" when the listing gives it
};

// The listing was written on a Russian Windows: a name that is not UTF-8 is
// Windows-1251 (the Cyrillic letters are what it holds).
std::string Cp1251ToUtf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char32_t u = c;
    if (c >= 0xC0) u = 0x0410 + (c - 0xC0);
    if (c == 0xA8) u = 0x0401;
    if (c == 0xB8) u = 0x0451;
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

bool IsUtf8(const std::string& text) {
  return platform::Utf8ToUtf16(text).find(u'\uFFFD') == std::u16string::npos;
}

std::vector<Listed> ReadStatListing(const std::string& path) {
  std::vector<Listed> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
    if (cols.size() != 5) continue;
    out.push_back({IsUtf8(cols[0]) ? cols[0] : Cp1251ToUtf8(cols[0]), std::stoull(cols[4]), false, cols[3]});
  }
  return out;
}

std::string FormatTime(uint64_t fileTime) {
  platform::SystemTime t;
  if (!platform::FileTimeToSystemTime(fileTime, &t)) return "?";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.milliseconds * 1000);
  return text;
}

TEST(ProfessionalExFat, TheWindowsImageMatchesItsListing) {
  const std::string image = testing_support::UnpackedSharedTestData("dfir_ntfs/exfat_win.raw.gz");
  const std::string listing = testing_support::SharedTestData("dfir_ntfs/exfat_win_stat.txt");
  if (image.empty() || listing.empty()) GTEST_SKIP() << "../shared/testdata is not available";
  ScanHome home;
  DeepScan scan(image);
  ASSERT_EQ(scan.finished, kStatusOk);
  const auto found = CollectAll(scan.engine);
  const auto expected = ReadStatListing(listing);
  ASSERT_GT(expected.size(), 600u);
  int files = 0;
  for (const Listed& l : expected) {
    auto it = found.find(l.path);
    EXPECT_NE(it, found.end()) << "not found: " << l.path;
    if (it == found.end()) continue;
    if (it->second.record.isFolder != 0) continue;
    ++files;
    EXPECT_EQ(+it->second.record.size, l.size) << l.path;
    EXPECT_EQ(+it->second.record.isDeleted, 0) << l.path;
    // Windows stamped the creation time with its 10 ms part; it is kept.
    if (l.created.size() > 20) {
      EXPECT_EQ(FormatTime(it->second.record.created), l.created) << l.path;
    }
  }
  EXPECT_GT(files, 300);
}

TEST(ProfessionalExFat, TheLinuxPartitionMatchesItsListing) {
  const std::string image = testing_support::UnpackedSharedTestData("dfir_ntfs/exfat_lin_part.raw.gz");
  const std::string listing = testing_support::SharedTestData("dfir_ntfs/exfat_lin_part.txt");
  if (image.empty() || listing.empty()) GTEST_SKIP() << "../shared/testdata is not available";
  ScanHome home;
  DeepScan scan(image, 2048, 129024);  // the partition the MBR names
  ASSERT_EQ(scan.finished, kStatusOk);
  const auto found = CollectAll(scan.engine);
  std::ifstream in(listing);
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    // "r/r 390:\t1.txt\t<times>\t4\t0\t0" for files, "d/d ..." for folders; "#" lines are metadata.
    if (line.empty() || line[0] == '#' || line.find("$") != std::string::npos) continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
    ASSERT_GE(cols.size(), 7u) << line;
    const std::string path = "/" + cols[1];
    ASSERT_EQ(found.count(path), 1u) << "not found: " << path;
    EXPECT_EQ(+found.at(path).record.isFolder, line.rfind("d/d", 0) == 0 ? 1 : 0) << path;
    if (line.rfind("r/r", 0) == 0) {
      EXPECT_EQ(+found.at(path).record.size, std::stoull(cols[6])) << path;
    }
    ++checked;
  }
  EXPECT_GE(checked, 20);
}

}  // namespace
}  // namespace engine::exfat_testing
