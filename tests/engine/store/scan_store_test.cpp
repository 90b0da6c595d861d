// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/store/scan_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/categories.h"
#include "engine/store/folder_name_table.h"
#include "engine/store/scan_index.h"
#include "platform/folders.h"
#include "platform/raw_file.h"
#include "tests/support/test_support.h"

namespace engine {
namespace {

using testing_support::ReadFileBytes;
using testing_support::ScopedDataHome;

uint64_t FileSize(const std::string& path) {
  platform::RawFile file;
  if (file.Open(path) != kStatusOk) return 0;
  uint64_t size = 0;
  EXPECT_EQ(file.Length(&size), kStatusOk);
  return size;
}

std::string FileText(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void ResizeFile(const std::string& path, uint64_t size) {
  platform::OutputFile file;
  ASSERT_EQ(file.Open(path, platform::OutputFile::Mode::kCreateOrOpen), kStatusOk);
  ASSERT_EQ(file.Truncate(size), kStatusOk);
}

std::vector<std::string> Names(const std::vector<ItemRecord>& records) {
  std::vector<std::string> names;
  for (const ItemRecord& r : records) names.emplace_back(r.Name());
  return names;
}

class ScanStoreTest : public ::testing::Test {
 protected:
  std::string Folder() const { return m_home.path() + "scan/"; }

  void Open(store::ScanStore& store, const std::string& base = "Fast_2048_2026128 9") {
    ASSERT_EQ(store.OpenStore(base, Folder()), kStatusOk);
  }

  // Appends one record filed under (parentDepth, parentLocator); returns its id.
  int32_t Add(store::ScanStore& store, uint32_t parentLocator, uint32_t parentDepth, const std::string& name,
              bool folder = false, int32_t locator = 0, int32_t intact = 1) {
    ItemRecord* slot = store.AppendRecord();
    *slot = ZeroRecord();
    slot->sourceKind = 1;
    slot->isFolder = folder ? 1 : 0;
    slot->isIntact = intact;
    slot->id = store.RecordCount();
    slot->locator = locator;
    slot->clusterBytes = 4096;
    slot->size = static_cast<uint64_t>(name.size()) * 1000;
    SetItemName(*slot, name);
    int32_t id = slot->id;
    store.AddChild(parentLocator, parentDepth, id, locator, folder ? name.c_str() : nullptr);
    return id;
  }

  ScopedDataHome m_home;
};

// ---------------------------------------------------------------- write buffer

TEST_F(ScanStoreTest, TwoHundredFirstAppendWritesOneFullBufferAndFlushWritesTheRest) {
  store::ScanStore store;
  Open(store);
  const std::string path = store.RecordPath();
  for (int i = 0; i < 200; ++i) Add(store, 2, 0, "f" + std::to_string(i) + ".txt");
  EXPECT_EQ(FileSize(path), 0u) << "200 records still fit in the buffer";
  Add(store, 2, 0, "last.txt");
  EXPECT_EQ(FileSize(path), 69200u);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  EXPECT_EQ(FileSize(path), 69200u + 346u);
  EXPECT_EQ(store.RecordCount(), 201);
}

TEST_F(ScanStoreTest, RecordsReadBackByteIdenticalFromFileAndBuffer) {
  store::ScanStore store;
  Open(store);
  std::vector<ItemRecord> written;
  for (int i = 0; i < 450; ++i) {
    ItemRecord* slot = store.AppendRecord();
    *slot = ZeroRecord();
    for (size_t b = 0; b < sizeof(ItemRecord); ++b) reinterpret_cast<uint8_t*>(slot)[b] = static_cast<uint8_t>(i + b);
    slot->id = store.RecordCount();
    written.push_back(*slot);
  }
  // 400 records are in the file, 50 still in the buffer.
  for (int32_t id : {1, 200, 201, 400, 401, 450}) {
    ItemRecord back;
    ASSERT_EQ(store.ReadRecord(id, &back), kStatusOk) << id;
    EXPECT_EQ(std::memcmp(&back, &written[id - 1], sizeof back), 0) << id;
  }
  ItemRecord back;
  EXPECT_EQ(store.ReadRecord(0, &back), kStatusInvalidParameter);
  EXPECT_EQ(store.ReadRecord(451, &back), kStatusInvalidParameter);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  std::vector<uint8_t> bytes = ReadFileBytes(store.RecordPath());
  ASSERT_EQ(bytes.size(), 450u * 346u);
  EXPECT_EQ(std::memcmp(bytes.data() + 449u * 346u, &written[449], 346), 0);
}

TEST_F(ScanStoreTest, RecordPlacedAtSixtyFourBitOffsetBeyondTwoGigabytes) {
  store::ScanStore store;
  Open(store);
  const std::string path = store.RecordPath();
  store.CloseStore();
  // A sparse record file of 6,300,000 records (about 2.18 GB) costs no disk space.
  const uint64_t existing = 6300000;
  ResizeFile(path, existing * 346);
  store::ScanStore big;
  Open(big);
  ASSERT_EQ(big.RecordCount(), static_cast<int32_t>(existing));
  int32_t id = Add(big, 2, 0, "far.txt");
  ASSERT_EQ(id, static_cast<int32_t>(existing + 1));
  ASSERT_EQ(big.FlushStore(), kStatusOk);
  EXPECT_EQ(FileSize(path), (existing + 1) * 346);

  platform::RawFile raw;
  ASSERT_EQ(raw.Open(path), kStatusOk);
  ItemRecord onDisk;
  size_t n = 0;
  ASSERT_EQ(raw.ReadAt(existing * 346, &onDisk, sizeof onDisk, &n), kStatusOk);
  ASSERT_EQ(n, sizeof onDisk);
  EXPECT_EQ(onDisk.Name(), "far.txt");
  std::vector<ItemRecord> children;
  ASSERT_EQ(big.ListChildren(2, children), kStatusOk);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(int32_t{children[0].id}, id);
  EXPECT_EQ(children[0].Name(), "far.txt");
}

TEST_F(ScanStoreTest, FailedRecordWriteIsReportedByFlush) {
  const std::string base = "Fast_full";
  ASSERT_EQ(platform::CreateDirectories(Folder()), kStatusOk);
  ASSERT_EQ(::symlink("/dev/full", (Folder() + base).c_str()), 0);
  store::ScanStore store;
  Open(store, base);
  for (int i = 0; i < 201; ++i) Add(store, 2, 0, "x.txt");
  EXPECT_EQ(store.FlushStore(), platform::kErrorDiskFull);
  // Records that never reached the file are not invented on reading (the
  // device reads back zeros); the one still in the buffer is there.
  ItemRecord back;
  EXPECT_EQ(store.ReadRecord(1, &back), kStatusInvalidParameter);
  EXPECT_EQ(store.ReadRecord(201, &back), kStatusOk);
  std::vector<ItemRecord> children;
  EXPECT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(children.size(), 1u);
}

TEST_F(ScanStoreTest, FailedRelationWriteReturnsPlatformStatus) {
  const std::string base = "Fast_rel";
  ASSERT_EQ(platform::CreateDirectories(Folder()), kStatusOk);
  ASSERT_EQ(::symlink("/dev/full", (Folder() + base + "_Relation").c_str()), 0);
  store::ScanStore store;
  Open(store, base);
  Add(store, 2, 0, "x.txt");
  EXPECT_EQ(store.FlushStore(), platform::kErrorDiskFull);
}

// ---------------------------------------------------------------- small files

TEST_F(ScanStoreTest, RelationFileHoldsKeysInAscendingOrderAsText) {
  store::ScanStore store;
  Open(store);
  for (int i = 1; i <= 5; ++i) {
    ItemRecord* slot = store.AppendRecord();
    *slot = ZeroRecord();
    slot->id = store.RecordCount();
  }
  store.AddChild(7, 1, 3, 0, nullptr);
  store.AddChild(2, 0, 1, 0, nullptr);
  store.AddChild(2, 0, 2, 0, nullptr);
  store.AddChild(7, 1, 4, 0, nullptr);
  store.AddChild(2, 0, 5, 0, nullptr);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  std::string text = FileText(store.RecordPath() + "_Relation");
  EXPECT_EQ(text, " | 2 - [1,2,5] | 4294967303 - [3,4]");
}

TEST_F(ScanStoreTest, FolderNameFileHoldsFixedEntries) {
  store::ScanStore store;
  Open(store);
  int32_t a = Add(store, 2, 0, "Alpha", true, 10);
  int32_t b = Add(store, 10, 1, "Beta", true, 11);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  std::vector<uint8_t> bytes = ReadFileBytes(store.RecordPath() + "_DirInfo");
  ASSERT_EQ(bytes.size(), 2u * 268u);
  int32_t locator = 0, id = 0;
  std::memcpy(&locator, bytes.data() + 268, 4);
  std::memcpy(&id, bytes.data() + 268 + 4, 4);
  EXPECT_EQ(locator, 11);
  EXPECT_EQ(id, b);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data() + 8), "Alpha");
  std::memcpy(&id, bytes.data() + 4, 4);
  EXPECT_EQ(id, a);
}

// ---------------------------------------------------------------- listing

TEST_F(ScanStoreTest, ListsFilesBeforeFoldersThenByFoldedName) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "A", true, 20);
  Add(store, 2, 0, "b.txt");
  Add(store, 2, 0, "Zeta");
  Add(store, 2, 0, "alpha");
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"alpha", "b.txt", "Zeta", "A"}));
}

TEST_F(ScanStoreTest, KeyZeroListsTheSmallestKey) {
  store::ScanStore store;
  Open(store);
  Add(store, 9, 0, "nine.txt");
  Add(store, 3, 0, "three.txt");
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(0, children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"three.txt"}));
  children.clear();
  ASSERT_EQ(store.ListChildren(12345, children), kStatusOk);
  EXPECT_TRUE(children.empty());
}

TEST_F(ScanStoreTest, DamagedPhotosAreHiddenFromListingAndSearch) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "a.JPG", false, 0, 0);
  Add(store, 2, 0, "b.jpg", false, 0, 1);
  Add(store, 2, 0, "c.doc", false, 0, 0);
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"b.jpg", "c.doc"}));
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search("*.jpg|*.doc", found), 1);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"b.jpg", "c.doc"}));
}

TEST_F(ScanStoreTest, CountsFilesOfTheWholeSubtree) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "f1.txt");
  Add(store, 2, 0, "Docs", true, 10);
  Add(store, 2, 0, "f2.txt");
  Add(store, 10, 1, "f3.txt");
  Add(store, 10, 1, "Sub", true, 11);
  Add(store, 11, 2, "f4.txt");
  Add(store, 11, 2, "f5.txt");
  int32_t count = -1;
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 5);
  ASSERT_EQ(store.CountFiles(store::FolderKey(1, 10), &count), kStatusOk);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(store.CountFiles(store::FolderKey(7, 7), &count), kStatusOk);
  EXPECT_EQ(count, 0);
}

TEST_F(ScanStoreTest, CountingReadsRunsAcrossTheFileAndTheBuffer) {
  store::ScanStore store;
  Open(store);
  for (int i = 0; i < 300; ++i) Add(store, 2, 0, "f" + std::to_string(i) + ".txt");  // 200 in the file, 100 buffered
  Add(store, 2, 0, "D", true, 10);
  for (int i = 0; i < 5; ++i) {
    Add(store, 10, 1, "in" + std::to_string(i) + ".txt");
    Add(store, 2, 0, "out" + std::to_string(i) + ".txt");
  }
  int32_t count = 0;
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 310);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 310);
  ASSERT_EQ(store.CountFiles(store::FolderKey(1, 10), &count), kStatusOk);
  EXPECT_EQ(count, 5);
}

TEST_F(ScanStoreTest, CountingADamagedIndexWhereFoldersShareKeysEnds) {
  store::ScanStore store;
  Open(store);
  // Every level holds two folders with the same locator, so both name the
  // same key of the next level: walking each key once keeps this linear.
  for (uint32_t depth = 0; depth < 40; ++depth) {
    uint32_t parent = depth == 0 ? 2 : 100;
    Add(store, parent, depth, "x", true, 100);
    Add(store, parent, depth, "y", true, 100);
    Add(store, parent, depth, "f.txt");
  }
  int32_t count = 0;
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 40);
}

// ---------------------------------------------------------------- paths

TEST_F(ScanStoreTest, ItemPathNamesAncestorsFromTheOutermost) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "Docs", true, 10);
  Add(store, 10, 1, "Sub", true, 11);
  int32_t file = Add(store, 11, 2, "x.txt");
  int32_t top = Add(store, 2, 0, "top.txt");
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(file, &item), kStatusOk);
  std::string path;
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, "Docs\\Sub\\");
  std::vector<ItemRecord> ancestors;
  ASSERT_EQ(store.FindFolderPath(item, ancestors), kStatusOk);
  EXPECT_EQ(Names(ancestors), (std::vector<std::string>{"Sub", "Docs"}));
  ASSERT_EQ(store.ReadRecord(top, &item), kStatusOk);
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, "");
}

TEST_F(ScanStoreTest, ParentWithoutNameEntryIsFoundInTheRecordFile) {
  store::ScanStore store;
  Open(store);
  // Folders filed without a name: their records are the only source of names.
  ItemRecord* slot = store.AppendRecord();
  *slot = ZeroRecord();
  slot->id = store.RecordCount();
  slot->isFolder = 1;
  slot->locator = 10;
  SetItemName(*slot, "Hidden");
  store.AddChild(2, 0, slot->id, 10, nullptr);
  for (int i = 0; i < 300; ++i) Add(store, 2, 0, "pad.txt");
  int32_t file = Add(store, 10, 1, "deep.txt");
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(file, &item), kStatusOk);
  std::string path;
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, "Hidden\\");
}

TEST_F(ScanStoreTest, UnresolvableParentReturnsInvalidParameter) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "root.txt");
  int32_t orphan = Add(store, 55, 3, "orphan.txt");
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(orphan, &item), kStatusOk);
  std::vector<ItemRecord> ancestors;
  EXPECT_EQ(store.FindFolderPath(item, ancestors), kStatusInvalidParameter);
  std::string path = "stale";
  EXPECT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, "");
}

TEST_F(ScanStoreTest, LoopingFolderNamesEndThePathWalk) {
  store::ScanStore store;
  Open(store);
  Add(store, 1, 0, "root.txt");
  int32_t a = Add(store, 21, 1, "A", true, 20);  // A inside B
  Add(store, 20, 1, "B", true, 21);              // B inside A
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(a, &item), kStatusOk);
  std::string path;
  EXPECT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_LE(path.size(), 8u);
}

// ---------------------------------------------------------------- search

TEST_F(ScanStoreTest, SearchMatchesExtensionsOfThePatternInChildOrder) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "z.jpg");
  Add(store, 2, 0, "b.DOC");
  Add(store, 2, 0, "c.txt");
  Add(store, 2, 0, "d.jpg", true, 30);
  Add(store, 2, 0, "A.JPG");
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search("*.jpg|*.doc", found), 1);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"A.JPG", "b.DOC", "z.jpg"}));
}

TEST_F(ScanStoreTest, OtherFindsUnknownExtensionsAndNamesWithout) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "readme");
  Add(store, 2, 0, "x.abc");
  Add(store, 2, 0, "y.jpg");
  Add(store, 2, 0, "trailing.");
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search(".other", found), 1);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"readme", "trailing.", "x.abc"}));
  found.clear();
  EXPECT_EQ(store.Search("*.jpg", found), 1);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"y.jpg"}));
}

// The newer photo kinds and text documents are selected by their own whole
// entries only: the photo pattern never selects ".avi" for "*.avif" nor ".c"
// for "*.crw", and they are never "other".
TEST_F(ScanStoreTest, ExactPhotoEntriesSelectOnlyTheirOwnExtension) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "a.avi");
  Add(store, 2, 0, "b.AVIF");
  Add(store, 2, 0, "c.heic");
  Add(store, 2, 0, "d.jpg");
  Add(store, 2, 0, "e.we");
  Add(store, 2, 0, "f.webp", false, 0, 0);  // damaged: hidden as every damaged photo
  Add(store, 2, 0, "g.c", false, 0, 0);     // damaged source code is no photo: listed
  const std::string photo = std::string(engine::kPhotoList) + "|" + std::string(engine::kExactPhotoList);
  struct Case {
    std::string pattern;
    std::vector<std::string> found;
  };
  const std::string document = std::string(engine::kDocumentList) + "|" + std::string(engine::kExactDocumentList);
  for (const Case& c :
       {Case{photo, {"b.AVIF", "c.heic", "d.jpg"}}, Case{std::string(engine::kVideoList), {"a.avi"}},
        Case{"*.avi", {"a.avi"}}, Case{"*.avif", {"b.AVIF"}}, Case{".other", {"e.we"}}, Case{document, {"g.c"}},
        Case{engine::EveryListPattern() + "|.other", {"a.avi", "b.AVIF", "c.heic", "d.jpg", "e.we", "g.c"}}}) {
    SCOPED_TRACE(c.pattern);
    std::vector<ItemRecord> found;
    EXPECT_EQ(store.Search(c.pattern, found), 1);
    EXPECT_EQ(Names(found), c.found);
  }
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(children.size(), 6u);
}

TEST_F(ScanStoreTest, OtherRuleStopsAtOneHundredTwentyEightMebibytes) {
  std::string path;
  {
    store::ScanStore store;
    Open(store);
    Add(store, 2, 0, "readme");
    Add(store, 2, 0, "x.abc");
    Add(store, 2, 0, "y.jpg");
    path = store.RecordPath();
  }
  ResizeFile(path, 0x8000000 - 1);
  {
    store::ScanStore store;
    Open(store);
    std::vector<ItemRecord> found;
    EXPECT_EQ(store.Search(".other|*.jpg", found), 1);
    EXPECT_EQ(Names(found), (std::vector<std::string>{"readme", "x.abc", "y.jpg"}));
  }
  ResizeFile(path, 0x8000000);
  {
    store::ScanStore store;
    Open(store);
    std::vector<ItemRecord> found;
    EXPECT_EQ(store.Search(".other|*.jpg", found), 1);
    EXPECT_EQ(Names(found), (std::vector<std::string>{"y.jpg"}));
  }
}

struct ProgressLog {
  std::vector<int32_t> percents;
  int32_t stopAfter = -1;
};

int32_t RecordProgress(void* userData, int32_t percent, int32_t zero) {
  auto* log = static_cast<ProgressLog*>(userData);
  EXPECT_EQ(zero, 0);
  log->percents.push_back(percent);
  return static_cast<int32_t>(log->percents.size()) == log->stopAfter ? 1 : 0;
}

TEST_F(ScanStoreTest, SearchReportsProgressPerChunkAndStopsWhenAsked) {
  store::ScanStore store;
  Open(store);
  for (int i = 0; i < 1000; ++i) Add(store, 2, 0, "f" + std::to_string(i) + ".abc");
  ProgressLog log;
  store.SetSearchCallback(RecordProgress, &log);
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search("*.abc", found), 1);
  EXPECT_EQ(found.size(), 1000u);
  EXPECT_EQ(log.percents, (std::vector<int32_t>{20, 40, 60, 80, 100}));

  ProgressLog stop;
  stop.stopAfter = 1;
  store.SetSearchCallback(RecordProgress, &stop);
  found.clear();
  EXPECT_EQ(store.Search("*.abc", found), 1);
  EXPECT_EQ(found.size(), 200u);
  EXPECT_EQ(stop.percents.size(), 1u);
}

TEST_F(ScanStoreTest, SearchReadsTheStoresOwnRecordsWhateverHappensToThePath) {
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, "a.jpg");
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  // Another process clearing the scan folder and writing its own results
  // there must not change what this store finds.
  const std::string path = store.RecordPath();
  ASSERT_EQ(platform::RemoveFile(path), kStatusOk);
  {
    store::ScanStore other;
    ASSERT_EQ(other.OpenStore(store.BaseName(), Folder()), kStatusOk);
    Add(other, 2, 0, "intruder.jpg");
  }
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search("*.jpg", found), 1);
  EXPECT_EQ(Names(found), (std::vector<std::string>{"a.jpg"}));
  EXPECT_EQ(store.CloseStore(), kStatusOk);
  found.clear();
  EXPECT_EQ(store.Search("*.jpg", found), 0);
  EXPECT_TRUE(found.empty());
}

// ---------------------------------------------------------------- reopening

TEST_F(ScanStoreTest, ReopenedStoreListsAndCountsAsBefore) {
  std::vector<std::string> before;
  std::string pathBefore;
  int32_t file = 0;
  {
    store::ScanStore store;
    Open(store);
    Add(store, 2, 0, "Docs", true, 10);
    for (int i = 0; i < 250; ++i) Add(store, 10, 1, "n" + std::to_string(i) + ".txt");
    file = Add(store, 2, 0, "top.txt");
    std::vector<ItemRecord> children;
    ASSERT_EQ(store.FlushStore(), kStatusOk);
    ASSERT_EQ(store.ListChildren(store::FolderKey(1, 10), children), kStatusOk);
    before = Names(children);
    ItemRecord item;
    ASSERT_EQ(store.ReadRecord(5, &item), kStatusOk);
    ASSERT_EQ(store.GetItemPath(item, pathBefore), kStatusOk);
  }
  store::ScanStore store;
  Open(store);
  EXPECT_EQ(store.RecordCount(), file);
  EXPECT_EQ(store.AppendedCount(), 0);
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(store::FolderKey(1, 10), children), kStatusOk);
  EXPECT_EQ(Names(children), before);
  int32_t count = 0;
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 251);
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(5, &item), kStatusOk);
  std::string path;
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, pathBefore);
  EXPECT_EQ(path, "Docs\\");

  // A resumed scan adds after the records already there; nothing is overwritten.
  int32_t added = Add(store, 10, 1, "later.txt");
  EXPECT_EQ(added, file + 1);
  EXPECT_EQ(store.AppendedCount(), 1);
  children.clear();
  ASSERT_EQ(store.ListChildren(store::FolderKey(1, 10), children), kStatusOk);
  EXPECT_EQ(children.size(), 251u);
  ASSERT_EQ(store.ReadRecord(file, &item), kStatusOk);
  EXPECT_EQ(item.Name(), "top.txt");
}

TEST_F(ScanStoreTest, CutRecordFileYieldsOnlyWholeRecords) {
  std::string path;
  {
    store::ScanStore store;
    Open(store);
    for (int i = 1; i <= 8; ++i) Add(store, 2, 0, "r" + std::to_string(i) + ".abc");
    path = store.RecordPath();
  }
  ResizeFile(path, 5 * 346 + 100);  // record 6 cut in the middle
  store::ScanStore store;
  Open(store);
  EXPECT_EQ(store.RecordCount(), 5);
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"r1.abc", "r2.abc", "r3.abc", "r4.abc", "r5.abc"}));
  std::vector<ItemRecord> found;
  EXPECT_EQ(store.Search("*.abc|.other", found), 1);
  EXPECT_EQ(found.size(), 5u);
  int32_t count = 0;
  ASSERT_EQ(store.CountFiles(2, &count), kStatusOk);
  EXPECT_EQ(count, 5);
  // The next record takes the cut record's place.
  int32_t id = Add(store, 2, 0, "new.abc");
  EXPECT_EQ(id, 6);
  ASSERT_EQ(store.FlushStore(), kStatusOk);
  EXPECT_EQ(FileSize(path), 6u * 346u);
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(6, &item), kStatusOk);
  EXPECT_EQ(item.Name(), "new.abc");
}

TEST_F(ScanStoreTest, CutRelationFileKeepsCompletedIds) {
  std::string path;
  {
    store::ScanStore store;
    Open(store);
    for (int i = 0; i < 3; ++i) Add(store, 2, 0, "a" + std::to_string(i) + ".txt");
    for (int i = 0; i < 3; ++i) Add(store, 7, 1, "b" + std::to_string(i) + ".txt");
    path = store.RecordPath() + "_Relation";
  }
  ASSERT_EQ(FileText(path), " | 2 - [1,2,3] | 4294967303 - [4,5,6]");
  ResizeFile(path, std::string(" | 2 - [1,2,3] | 4294967303 - [4,5").size());
  store::ScanStore store;
  Open(store);
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(children.size(), 3u);
  children.clear();
  ASSERT_EQ(store.ListChildren(store::FolderKey(1, 7), children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"b0.txt"}));
}

TEST_F(ScanStoreTest, RelationIdsBeyondTheRecordFileAreDropped) {
  std::string base;
  {
    store::ScanStore store;
    Open(store);
    Add(store, 2, 0, "one.txt");
    base = store.RecordPath();
  }
  testing_support::WriteFileBytes(base + "_Relation",
                                  {' ', '|', ' ', '2', ' ', '-', ' ', '[', '1', ',', '9', ',', 'x', ',', '0', ']'});
  store::ScanStore store;
  Open(store);
  std::vector<ItemRecord> children;
  ASSERT_EQ(store.ListChildren(2, children), kStatusOk);
  EXPECT_EQ(Names(children), (std::vector<std::string>{"one.txt"}));
}

// ---------------------------------------------------------------- names

TEST_F(ScanStoreTest, LongAndMultiByteNamesRoundTrip) {
  const std::string longName(259, 'n');
  const std::string utf8Name = "Fotos \xC3\x84\xC3\x96\xC3\x9C \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x93\xB7";
  {
    store::ScanStore store;
    Open(store);
    Add(store, 2, 0, longName, true, 10);
    Add(store, 10, 1, utf8Name, true, 11);
    Add(store, 11, 2, utf8Name + ".jpg");
  }
  store::ScanStore store;
  Open(store);
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(3, &item), kStatusOk);
  EXPECT_EQ(item.Name(), utf8Name + ".jpg");
  std::string path;
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  EXPECT_EQ(path, longName + "\\" + utf8Name + "\\");
}

TEST_F(ScanStoreTest, OverlongFolderNameIsCutOnACharacterBoundary) {
  std::string name;
  while (name.size() < 300) name += "\xE6\x97\xA5";  // 3-byte characters
  store::ScanStore store;
  Open(store);
  Add(store, 2, 0, name, true, 10);
  int32_t file = Add(store, 10, 1, "in.txt");
  ItemRecord item;
  ASSERT_EQ(store.ReadRecord(file, &item), kStatusOk);
  std::string path;
  ASSERT_EQ(store.GetItemPath(item, path), kStatusOk);
  ASSERT_EQ(path.size(), 258u + 1u);  // 86 whole characters, then the separator
  EXPECT_EQ(path.substr(0, 258), name.substr(0, 258));
}

// ---------------------------------------------------------------- opening

TEST_F(ScanStoreTest, OpensInTheScanIndexCurrentFolderByDefault) {
  store::ScanIndex::Instance().Load();
  ASSERT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  store::ScanStore store;
  ASSERT_EQ(store.OpenStore("Fast_0_1"), kStatusOk);
  EXPECT_EQ(store.RecordPath(), store::ScanIndex::Instance().CurrentScanFolder() + "Fast_0_1");
  EXPECT_TRUE(platform::PathExists(store.RecordPath() + "_Relation"));
  EXPECT_TRUE(platform::PathExists(store.RecordPath() + "_DirInfo"));
}

TEST_F(ScanStoreTest, ScanFolderThatCannotBeCreatedReturnsPlatformStatus) {
  testing_support::WriteFileBytes(m_home.path() + "plain", {1, 2, 3});
  store::ScanStore store;
  EXPECT_EQ(store.OpenStore("Fast_x", m_home.path() + "plain/scan/"), platform::kErrorPathNotFound);
  EXPECT_FALSE(store.IsOpen());
  // The store is unusable but safe to call: nothing can be appended.
  EXPECT_EQ(store.AppendRecord(), nullptr);
  std::vector<ItemRecord> children;
  EXPECT_NE(store.ListChildren(0, children), kStatusOk);
  EXPECT_TRUE(children.empty());

  if (::geteuid() != 0) {  // permissions do not stop root
    const std::string locked = m_home.path() + "locked/";
    ASSERT_EQ(platform::CreateDirectories(locked), kStatusOk);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    EXPECT_EQ(store.OpenStore("Fast_x", locked + "scan/"), platform::kErrorAccessDenied);
    ::chmod(locked.c_str(), 0755);
  }
}

TEST_F(ScanStoreTest, BaseNameMustBeAPlainFileName) {
  store::ScanStore store;
  EXPECT_EQ(store.OpenStore("../escape", Folder()), kStatusInvalidParameter);
  EXPECT_EQ(store.OpenStore("..", Folder()), kStatusInvalidParameter);
  EXPECT_EQ(store.OpenStore("", Folder()), kStatusInvalidParameter);
  EXPECT_FALSE(platform::PathExists(m_home.path() + "escape"));
}

TEST(MakeLogBaseNameTest, FormatsPrefixStartAndLocalTime) {
  std::string name = store::MakeLogBaseName(store::kProNtfsLogPrefix, 2048);
  ASSERT_GT(name.size(), 14u);
  EXPECT_EQ(name.substr(0, 14), "Pro_Ntfs_2048_");
  // Year, month, day, hour and minute as YYYYMMDDhhmm: twelve digits, no space.
  const std::string tail = name.substr(14);
  ASSERT_EQ(tail.size(), 12u) << tail;
  for (char c : tail) EXPECT_TRUE(c >= '0' && c <= '9') << tail;
  EXPECT_TRUE(tail.compare(4, 2, "01") >= 0 && tail.compare(4, 2, "12") <= 0) << tail;
  EXPECT_EQ(store::MakeLogBaseName(store::kFastLogPrefix, -1).substr(0, 8), "Fast_-1_");
}

}  // namespace
}  // namespace engine
