// SPDX-License-Identifier: GPL-3.0-or-later
// The fast FAT engine against the fixture volumes made by mkfs.fat + mtools
// (FAT12, FAT16, FAT32 with 512-byte and 4 KiB clusters): what it finds, what
// it leaves out, and what it copies back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/output_path.h"
#include "platform/folders.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {
namespace {

using testing_support::ManifestRow;

bool IsFile(const ManifestRow& row) {
  return row.size != "-";
}

std::string FolderOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}
std::string NameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// mtools stores a plain 8.3 name (one case, no blanks) without a long name;
// deleting it loses the first character, which the engine shows as "!".
bool IsPlainShortName(const std::string& name) {
  const size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  bool lower = false;
  bool upper = false;
  for (char c : name) {
    if (c >= 'a' && c <= 'z') lower = true;
    if (c >= 'A' && c <= 'Z') upper = true;
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
  }
  return !(lower && upper);
}

std::string ExpectedDeletedPath(const std::string& path) {
  std::string name = NameOf(path);
  if (IsPlainShortName(name)) {
    std::string lowered;
    for (char c : name.substr(1)) lowered.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    name = "!" + lowered;
  }
  return FolderOf(path) + "/" + name;
}

// The start cluster a manifest note gives ("cluster=N"), or 0.
uint32_t NoteCluster(const std::string& note) {
  const size_t at = note.find("cluster=");
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(note.substr(at + 8)));
}

struct CopyEvent {
  int32_t percent;
  int32_t status;
  std::string path;
};

int32_t RecordCopy(void* userData, int32_t percent, int32_t, int32_t status, const char* path) {
  static_cast<std::vector<CopyEvent>*>(userData)->push_back({percent, status, path});
  return 0;
}

class FatFixtureTest : public ::testing::TestWithParam<const char*> {
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
  std::unique_ptr<fat::CFastFatRecovery> m_engine;
  std::map<std::string, FoundItem> m_found;
};

TEST_P(FatFixtureTest, FindsEveryDeletedFileWithNameSizeAndFolder) {
  int deletedFiles = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.state != "deleted" || !IsFile(row)) continue;
    ++deletedFiles;
    const std::string expected = ExpectedDeletedPath(row.path);
    const FoundItem* item = Find(expected);
    ASSERT_NE(item, nullptr) << "not found: " << expected;
    EXPECT_EQ(+item->record.isFolder, 0);
    EXPECT_EQ(+item->record.isDeleted, 1);
    EXPECT_EQ(+item->record.sourceKind, 1);
    EXPECT_EQ(+item->record.size, std::stoull(row.size)) << expected;
    if (const uint32_t cluster = NoteCluster(row.note); cluster != 0) {
      EXPECT_EQ(static_cast<uint32_t>(item->record.locator), cluster) << expected;
    }
  }
  EXPECT_GT(deletedFiles, 10);
  int32_t count = -1;
  ASSERT_EQ(m_engine->CountFiles(nullptr, 0, &count), kStatusOk);
  EXPECT_EQ(count, deletedFiles);
}

TEST_P(FatFixtureTest, LiveFilesInLiveFoldersAreNotReported) {
  std::set<std::string> livePaths;
  for (const ManifestRow& row : m_rows) {
    if (row.state == "live" && IsFile(row)) livePaths.insert(row.path);
  }
  ASSERT_FALSE(livePaths.empty());
  for (const auto& [path, item] : m_found) {
    EXPECT_EQ(livePaths.count(item.path), 0u) << "live file reported: " << item.path;
  }
}

TEST_P(FatFixtureTest, FoldersOnThePathAreRecordedAndDeletedFoldersMarked) {
  const FoundItem* trash = Find("/Trash Folder");
  const FoundItem* sub = Find("/Trash Folder/Sub");
  const FoundItem* docs = Find("/Docs");
  ASSERT_NE(trash, nullptr);
  ASSERT_NE(sub, nullptr);
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(+trash->record.isFolder, 1);
  EXPECT_EQ(+trash->record.isDeleted, 1);
  EXPECT_EQ(+sub->record.isDeleted, 1);
  EXPECT_EQ(+docs->record.isDeleted, 0);
  EXPECT_EQ(sub->depth, 1);  // listed as a child of a depth-1 folder
  std::string path;
  const FoundItem* c = Find("/Trash Folder/Sub/!.txt");
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(m_engine->GetItemPath(&c->record, path), kStatusOk);
  EXPECT_EQ(path, "Trash Folder\\Sub\\");
  // Folders only appear when they lead to something found.
  for (const auto& [p, item] : m_found) {
    if (item.record.isFolder == 0) continue;
    int32_t files = 0;
    ASSERT_EQ(m_engine->CountFiles(&item.record, item.depth + 1, &files), kStatusOk);
    EXPECT_GT(files, 0) << p;
  }
}

TEST_P(FatFixtureTest, RecoversEveryDeletedFileByteExact) {
  const std::string before = testing_support::Sha256OfFile(m_image);
  testing_support::TempDir out;
  std::vector<CopyEvent> events;
  ASSERT_EQ(m_engine->SetProgressCallbacks(nullptr, RecordCopy, &events, 100), kStatusOk);
  int n = 0;
  for (const ManifestRow& row : m_rows) {
    if (row.state != "deleted" || !IsFile(row)) continue;
    const FoundItem* item = Find(ExpectedDeletedPath(row.path));
    ASSERT_NE(item, nullptr) << row.path;
    const std::string target = out.path() + "sub/" + std::to_string(n++) + "_" + NameOf(row.path);
    events.clear();
    ASSERT_EQ(m_engine->RecoverItem(&item->record, target, 0), kStatusOk) << row.path;
    EXPECT_EQ(testing_support::Sha256OfFile(target), row.sha256) << row.path;
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().percent, 100);
    EXPECT_EQ(events.back().status, 0);
    EXPECT_EQ(events.back().path, target);
  }
  // Preview extraction of every kind, then the source must be unchanged.
  for (const auto& [path, item] : m_found) {
    if (item.record.isFolder != 0) continue;
    std::string temp;
    std::vector<uint8_t> buffer(4096);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(m_engine->ExtractItem(&item.record, temp, buffer.data(), &length, nullptr, nullptr), kStatusOk) << path;
  }
  EXPECT_EQ(testing_support::Sha256OfFile(m_image), before);
}

TEST_P(FatFixtureTest, ZeroByteFileGivesAnEmptyFileAndOneReport) {
  const FoundItem* empty = Find("/empty_deleted.txt");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(+empty->record.size, 0u);
  testing_support::TempDir out;
  std::vector<CopyEvent> events;
  ASSERT_EQ(m_engine->SetProgressCallbacks(nullptr, RecordCopy, &events, 100), kStatusOk);
  const std::string target = out.path() + "empty.txt";
  ASSERT_EQ(m_engine->RecoverItem(&empty->record, target, 0), kStatusOk);
  EXPECT_TRUE(platform::PathExists(target));
  EXPECT_TRUE(testing_support::ReadFileBytes(target).empty());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].percent, 100);
  EXPECT_EQ(events[0].status, 0);
}

TEST_P(FatFixtureTest, FolderCopyIsBreadthFirstAndMirrorsTheTree) {
  const FoundItem* trash = Find("/Trash Folder");
  ASSERT_NE(trash, nullptr);
  testing_support::TempDir out;
  std::vector<CopyEvent> events;
  ASSERT_EQ(m_engine->SetProgressCallbacks(nullptr, RecordCopy, &events, 100), kStatusOk);
  // The destination mirrors the folder's place: "<root>/Trash Folder" with
  // the root's separators as the root count.
  const std::string root = out.path() + "rec";
  const std::string destination = root + "/Trash Folder";
  ASSERT_EQ(m_engine->RecoverItem(&trash->record, destination, SeparatorCount(root + "/")), kStatusOk);

  std::vector<std::string> finished;
  for (const CopyEvent& e : events) {
    if (e.percent == 100 && (finished.empty() || finished.back() != e.path)) finished.push_back(e.path);
  }
  ASSERT_EQ(finished.size(), 4u);
  EXPECT_EQ(FolderOf(finished[0]), destination);
  EXPECT_EQ(FolderOf(finished[1]), destination);
  EXPECT_EQ(FolderOf(finished[2]), destination + "/Sub");
  EXPECT_EQ(FolderOf(finished[3]), destination + "/Sub");

  for (const ManifestRow& row : m_rows) {
    if (row.path.rfind("/Trash Folder/", 0) != 0 || !IsFile(row)) continue;
    const std::string relative = ExpectedDeletedPath(row.path).substr(std::string("/Trash Folder").size());
    EXPECT_EQ(testing_support::Sha256OfFile(destination + relative), row.sha256) << relative;
  }
}

TEST_P(FatFixtureTest, SearchFindsFilesByExtension) {
  std::vector<ItemRecord> pictures;
  EXPECT_EQ(m_engine->Search("*.png", pictures), 1);
  std::set<std::string> names;
  for (const ItemRecord& r : pictures) names.insert(std::string(r.Name()));
  EXPECT_EQ(names, (std::set<std::string>{"!.png", "Vacation Picture.png"}));
}

TEST_P(FatFixtureTest, ReopensAPreviousScanWithoutScanning) {
  const std::string base = m_engine->StoreBaseName();
  ASSERT_FALSE(base.empty());
  fat::CFastFatRecovery again;
  ASSERT_EQ(again.OpenImage(m_image, 'E'), kStatusOk);
  ASSERT_EQ(again.Scan(base.c_str()), kStatusOk);
  auto reopened = CollectAll(again);
  EXPECT_EQ(reopened.size(), m_found.size());
}

INSTANTIATE_TEST_SUITE_P(Volumes, FatFixtureTest, ::testing::Values("fat12", "fat16", "fat32_512", "fat32_4k"));

}  // namespace
}  // namespace engine::fat_testing
