// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/fast_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/folders.h"
#include "tests/engine/ntfs/ntfs_fixture.h"

namespace engine::ntfs {
namespace {

using ntfs_test::MftOf;
using testing_support::ReadFileBytes;
using testing_support::Sha256OfFile;

// Where a deleted manifest file is expected in the scan's tree.
std::string ExpectedPath(const testing_support::ManifestRow& row,
                         const std::vector<testing_support::ManifestRow>& manifest) {
  if (row.note.find("parent record reused") == std::string::npos) return row.path;
  const std::string parent = row.path.substr(0, row.path.find_last_of('/'));
  for (const auto& r : manifest) {
    if (r.path == parent && r.state == "deleted") {
      return "/LostFolder" + std::to_string(MftOf(r)) + row.path.substr(row.path.find_last_of('/'));
    }
  }
  return row.path;
}

int32_t CountSeparators(const std::string& path) {
  return static_cast<int32_t>(std::count_if(path.begin(), path.end() - 1, [](char c) { return c == '/'; }));
}

class FastNtfsScanTest : public ntfs_test::NtfsFixtureTest {};

TEST_P(FastNtfsScanTest, EveryDeletedFileIsFoundInItsFolderAndRecoveredExactly) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  int checked = 0;
  for (const auto& row : m_manifest) {
    if (row.state != "deleted" || row.size == "-") continue;
    const std::string path = ExpectedPath(row, m_manifest);
    auto it = m_tree.find(path);
    ASSERT_NE(it, m_tree.end()) << path;
    const ItemRecord& item = it->second;
    EXPECT_EQ(+item.isFolder, 0) << path;
    EXPECT_EQ(+item.sourceKind, 0);
    EXPECT_EQ(static_cast<uint32_t>(item.locator), MftOf(row)) << path;
    EXPECT_EQ(+item.size, std::stoull(row.size)) << path;
    EXPECT_EQ(+item.clusterBytes, static_cast<int32_t>(m_clusterBytes));
    const std::string out = m_out.path() + "f" + std::to_string(checked);
    ASSERT_EQ(engine.RecoverItem(&item, out, 0), kStatusOk) << path;
    EXPECT_EQ(Sha256OfFile(out), row.sha256) << path;
    ++checked;
  }
  EXPECT_GE(checked, 15);
}

TEST_P(FastNtfsScanTest, LiveFilesAndSystemRecordsAreNeverListed) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  for (const auto& row : m_manifest) {
    if (row.state == "live" && row.size != "-") {
      EXPECT_EQ(m_tree.count(row.path), 0u) << row.path;
    }
  }
  for (const auto& [path, item] : m_tree) {
    EXPECT_GT(static_cast<uint32_t>(item.locator) & 0x7FFFFFFFu, 11u) << path;
    EXPECT_EQ(+item.isDeleted, 0);
  }
  EXPECT_EQ(engine.GetItemCount(), m_tree.size());
}

TEST_P(FastNtfsScanTest, FoldersOnThePathsAreListedAndAReusedParentBecomesALostFolder) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  for (const char* folder : {"/Projects", "/Projects/Sub", "/Documents", "/Pictures"}) {
    ASSERT_EQ(m_tree.count(folder), 1u) << folder;
    EXPECT_EQ(+m_tree[folder].isFolder, 1);
    EXPECT_EQ(+m_tree[folder].isIntact, 0);
  }
  // Record 64 holds "New Folder" now: the old incarnation's orphan is filed
  // under a placeholder of its own, named after the record.
  const ItemRecord& lost = m_tree["/LostFolder64"];
  EXPECT_EQ(+lost.isFolder, 1);
  EXPECT_EQ(static_cast<uint32_t>(lost.locator) & 0x7FFFFFFFu, 64u);
  EXPECT_EQ(+lost.clusterBytes, -1);
  EXPECT_EQ(m_tree.count("/LostFolder64/orphan_note.txt"), 1u);
  EXPECT_EQ(+lost.entrySector, 0u);
  EXPECT_EQ(m_tree.count("/New Folder"), 0u);
  std::string path;
  ASSERT_EQ(engine.GetItemPath(&m_tree["/Projects/Sub/notes.txt"], path), kStatusOk);
  EXPECT_EQ(path, "Projects\\Sub\\");
  int32_t files = 0;
  ASSERT_EQ(engine.CountFiles(&m_tree["/Projects"], 1, &files), kStatusOk);
  EXPECT_EQ(files, 4);
}

// A folder record that was reused keeps its own deleted files: only the
// children of its old incarnation go to the lost folder.
TEST_P(FastNtfsScanTest, AReusedFolderRecordKeepsItsOwnDeletedFiles) {
  auto image = ReadFileBytes(m_imagePath);
  // Make /small_deleted.txt a deleted child of the live "New Folder" (record
  // 64, the incarnation whose sequence its record now carries).
  uint16_t liveSequence = 0;
  EditRecord(image, 64, [&](std::vector<uint8_t>& rec) { liveSequence = ntfs_test::Get16(rec, 0x10); });
  EditRecord(image, MftOf(*Row("/small_deleted.txt")), [&](std::vector<uint8_t>& rec) {
    const size_t name = ntfs_test::FindAttribute(rec, 0x30);
    const size_t value = name + ntfs_test::Get16(rec, name + 0x14);
    ntfs_test::Put64(rec, value, 64 | (uint64_t{liveSequence} << 48));
  });
  CFastNtfsRecovery engine;
  ScanImage(engine, &image);
  EXPECT_EQ(m_tree.count("/New Folder/small_deleted.txt"), 1u);
  EXPECT_EQ(m_tree.count("/LostFolder64/orphan_note.txt"), 1u);
  std::string path;
  ASSERT_EQ(engine.GetItemPath(&m_tree["/New Folder/small_deleted.txt"], path), kStatusOk);
  EXPECT_EQ(path, "New Folder\\");
}

TEST_P(FastNtfsScanTest, NonAsciiAndLongWin32NamesAreKept) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  EXPECT_EQ(m_tree.count("/Ünïcödé Fïlé 日本語.txt"), 1u);
  EXPECT_EQ(m_tree.count("/Deleted Long Name With DOS Alias.txt"), 1u);
}

TEST_P(FastNtfsScanTest, DosNameIsReplacedByTheWin32NameOfTheSameRecord) {
  // Record 71 (live) holds a Win32 and a DOS name; mark it deleted in a copy.
  auto image = ReadFileBytes(m_imagePath);
  EditRecord(image, 71, [](std::vector<uint8_t>& rec) { ntfs_test::Put16(rec, 0x16, 0); });
  CFastNtfsRecovery engine;
  ScanImage(engine, &image);
  EXPECT_EQ(m_tree.count("/Documents/Long File Name Example Document.txt"), 1u);
  EXPECT_EQ(m_tree.count("/Documents/LONGFI~1.TXT"), 0u);
}

TEST_P(FastNtfsScanTest, ZeroByteDeletedFileIsNotIntactAndRecoversEmpty) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  const ItemRecord& empty = m_tree["/empty_deleted.txt"];
  EXPECT_EQ(+empty.size, 0u);
  EXPECT_EQ(+empty.isIntact, 0);
  const std::string out = m_out.path() + "empty";
  ASSERT_EQ(engine.RecoverItem(&empty, out, 0), kStatusOk);
  EXPECT_TRUE(platform::PathExists(out));
  EXPECT_TRUE(ReadFileBytes(out).empty());
}

TEST_P(FastNtfsScanTest, OverwrittenPhotoIsNotIntactAndHidden) {
  auto image = ReadFileBytes(m_imagePath);
  const auto* row = Row("/Pictures/deleted_photo.jpg");
  ASSERT_NE(row, nullptr);
  {
    CFastNtfsRecovery engine;
    ScanImage(engine, &image);
    ASSERT_EQ(m_tree.count(row->path), 1u);
    EXPECT_EQ(+m_tree[row->path].isIntact, 1);
  }
  std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(ntfs_test::LcnOf(*row) * m_clusterBytes), 512, 0);
  ASSERT_EQ(engine::store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  CFastNtfsRecovery engine;
  ScanImage(engine, &image);
  EXPECT_EQ(m_tree.count(row->path), 0u);  // damaged photos are not listed
}

TEST_P(FastNtfsScanTest, FolderTreeIsRecoveredBreadthFirstBelowTheDestination) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  const std::string root = m_out.path() + "out";
  const std::string dest = root + "/Projects";
  ASSERT_EQ(engine.RecoverItem(&m_tree["/Projects"], dest, CountSeparators(root)), kStatusOk);
  for (const char* file :
       {"/Projects/plan.txt", "/Projects/budget.zip", "/Projects/Sub/diagram.png", "/Projects/Sub/notes.txt"}) {
    EXPECT_EQ(Sha256OfFile(root + file), Row(file)->sha256) << file;
  }
  const std::string lost = root + "/LostFolder64";
  ASSERT_EQ(engine.RecoverItem(&m_tree["/LostFolder64"], lost, CountSeparators(root)), kStatusOk);
  EXPECT_EQ(Sha256OfFile(lost + "/orphan_note.txt"), Row("/Old Folder/orphan_note.txt")->sha256);
}

TEST_P(FastNtfsScanTest, FolderCopyNeverOverwritesAFileAlreadyThere) {
  CFastNtfsRecovery engine;
  ScanImage(engine);
  const std::string root = m_out.path() + "out";
  const std::string dest = root + "/Projects";
  ASSERT_EQ(platform::CreateDirectories(dest), kStatusOk);
  testing_support::WriteFileBytes(dest + "/plan.txt", {'m', 'i', 'n', 'e'});
  ASSERT_EQ(engine.RecoverItem(&m_tree["/Projects"], dest, CountSeparators(root)), kStatusOk);
  EXPECT_EQ(ReadFileBytes(dest + "/plan.txt"), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
  EXPECT_EQ(Sha256OfFile(dest + "/plan(1).txt"), Row("/Projects/plan.txt")->sha256);
}

TEST_P(FastNtfsScanTest, FoundNamesNeverLeaveTheDestination) {
  // Rename two deleted files on disk to "../p.txt" and "..\\q.txt" (same lengths as before).
  auto image = ReadFileBytes(m_imagePath);
  auto rename = [&](uint32_t record, const std::u16string& from, const std::u16string& to) {
    EditRecord(image, record, [&](std::vector<uint8_t>& rec) {
      size_t fn = ntfs_test::FindAttribute(rec, 0x30);
      ASSERT_NE(fn, 0u);
      const size_t name = fn + ntfs_test::Get16(rec, fn + 0x14) + 0x42;
      for (size_t i = 0; i < from.size(); ++i) {
        ASSERT_EQ(ntfs_test::Get16(rec, name + 2 * i), from[i]);
        ntfs_test::Put16(rec, name + 2 * i, to[i]);
      }
    });
  };
  rename(MftOf(*Row("/Projects/plan.txt")), u"plan.txt", u"../p.txt");
  rename(MftOf(*Row("/Projects/Sub/notes.txt")), u"notes.txt", u"..\\q.txt");
  CFastNtfsRecovery engine;
  ScanImage(engine, &image);
  ASSERT_EQ(m_tree.count("/Projects/../p.txt"), 1u);
  const std::string root = m_out.path() + "jail";
  ASSERT_EQ(engine.RecoverItem(&m_tree["/Projects"], root + "/Projects", CountSeparators(root)), kStatusOk);
  EXPECT_EQ(Sha256OfFile(root + "/Projects/.._p.txt"), Row("/Projects/plan.txt")->sha256);
  EXPECT_EQ(Sha256OfFile(root + "/Projects/Sub/.._q.txt"), Row("/Projects/Sub/notes.txt")->sha256);
  EXPECT_FALSE(platform::PathExists(root + "/p.txt"));
  EXPECT_FALSE(platform::PathExists(root + "/Projects/q.txt"));
  EXPECT_FALSE(platform::PathExists(m_out.path() + "p.txt"));
}

TEST_P(FastNtfsScanTest, SourceImageIsNeverWritten) {
  const std::string before = Sha256OfFile(m_imagePath);
  {
    CFastNtfsRecovery engine;
    ScanImage(engine);
    (void)engine.BuildAllocationMap();
    std::vector<ItemRecord> found;
    engine.Search("*.jpg|*.txt|.other", found);
    for (const ItemRecord& item : found) {
      std::string temp;
      std::vector<uint8_t> buffer(4096);
      uint32_t length = static_cast<uint32_t>(buffer.size());
      (void)engine.ExtractItem(&item, temp, buffer.data(), &length, nullptr, nullptr);
    }
    ASSERT_EQ(engine.RecoverItem(&m_tree["/Projects"], m_out.path() + "p", 0), kStatusOk);
  }
  EXPECT_EQ(Sha256OfFile(m_imagePath), before);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FastNtfsScanTest, ::testing::Values("ntfs_512", "ntfs_4k"));

}  // namespace
}  // namespace engine::ntfs
