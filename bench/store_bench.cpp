// SPDX-License-Identifier: GPL-3.0-or-later
// Scan-result store under load: 1,000,000 records in 10,000 folders are
// appended and flushed, one folder of 10,000 children is listed, the whole
// tree is counted and all records are searched. Prints throughput, times and
// peak memory (ru_maxrss). Runs in a temporary XDG_DATA_HOME below /tmp.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/store/scan_store.h"
#include "platform/folders.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRecords = 1000000;
constexpr int kFolders = 10000;
constexpr int kBigFolderFiles = 10000;
constexpr uint32_t kRootLocator = 2;
constexpr uint32_t kFirstFolderLocator = 100;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

const char* ExtensionFor(int i) {
  // 1 in 40 is a .jpg and 1 in 40 a .doc; the rest spread over other kinds.
  static const char* const kOthers[] = {"txt", "mp3", "abc", "", "pdf", "avi", "zip", "dat"};
  switch (i % 40) {
    case 0: return "jpg";
    case 1: return "doc";
    default: return kOthers[i % 8];
  }
}

}  // namespace

int main() {
  char pattern[] = "/tmp/quellmoor_store_bench_XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string home = std::string(pattern) + "/";
  setenv("XDG_DATA_HOME", home.c_str(), 1);
  const long startKiB = PeakKiB();
  std::printf("peak memory at start: %.1f MiB\n", startKiB / 1024.0);

  engine::store::ScanStore store;
  if (engine::Status s = store.OpenStore(engine::store::MakeLogBaseName(engine::store::kFastLogPrefix, 2048), home + "scan/");
      s != engine::kStatusOk) {
    std::printf("OpenStore failed: %d\n", s);
    return 1;
  }

  auto fill = [&](engine::ItemRecord* slot, bool folder, int32_t locator, const char* name) {
    *slot = engine::ZeroRecord();
    slot->sourceKind = 1;
    slot->isFolder = folder ? 1 : 0;
    slot->isIntact = 1;
    slot->id = store.RecordCount();
    slot->locator = locator;
    slot->clusterBytes = 4096;
    slot->size = 12345;
    engine::SetItemName(*slot, name);
  };

  char name[64];
  auto t0 = Clock::now();
  for (int f = 0; f < kFolders; ++f) {
    std::snprintf(name, sizeof name, "folder_%05d", f);
    engine::ItemRecord* slot = store.AppendRecord();
    fill(slot, true, static_cast<int32_t>(kFirstFolderLocator + f), name);
    store.AddChild(kRootLocator, 0, slot->id, slot->locator, name);
  }
  const int files = kRecords - kFolders;
  for (int i = 0; i < files; ++i) {
    // The first 10,000 files go to folder 0; the rest are spread over the others in runs.
    int folder = i < kBigFolderFiles ? 0 : 1 + (i - kBigFolderFiles) / ((files - kBigFolderFiles) / (kFolders - 1) + 1);
    const char* ext = ExtensionFor(i);
    std::snprintf(name, sizeof name, ext[0] != '\0' ? "file_%07d.%s" : "file_%07d", i, ext);
    engine::ItemRecord* slot = store.AppendRecord();
    fill(slot, false, 1000000 + i, name);
    store.AddChild(kFirstFolderLocator + folder, 1, slot->id, slot->locator, nullptr);
  }
  const double appendSeconds = Seconds(t0);
  auto t1 = Clock::now();
  engine::Status flushStatus = store.FlushStore();
  const double flushSeconds = Seconds(t1);
  std::printf("append: %d records in %.3f s = %.0f records/s (flush %.3f s, status %d; with flush %.0f records/s)\n",
              store.RecordCount(), appendSeconds, kRecords / appendSeconds, flushSeconds, flushStatus,
              kRecords / (appendSeconds + flushSeconds));
  const long afterAppendKiB = PeakKiB();
  std::printf("peak memory after append: %.1f MiB (+%.1f MiB: folder index, name table, buffer)\n",
              afterAppendKiB / 1024.0, (afterAppendKiB - startKiB) / 1024.0);

  std::vector<engine::ItemRecord> children;
  auto t2 = Clock::now();
  engine::Status listStatus = store.ListChildren(engine::store::FolderKey(1, kFirstFolderLocator), children);
  std::printf("list: %zu children in %.1f ms (status %d)\n", children.size(), Seconds(t2) * 1000, listStatus);

  int32_t count = 0;
  auto t3 = Clock::now();
  engine::Status countStatus = store.CountFiles(kRootLocator, &count);
  std::printf("count: %d files in %.1f ms (status %d)\n", count, Seconds(t3) * 1000, countStatus);

  std::string path;
  auto t4 = Clock::now();
  engine::ItemRecord deep{};
  if (store.ReadRecord(kRecords, &deep) == engine::kStatusOk) (void)store.GetItemPath(deep, path);
  std::printf("path of the last record: \"%s\" in %.1f ms (first call builds the parent lookup)\n", path.c_str(),
              Seconds(t4) * 1000);

  const double fileMB = static_cast<double>(store.RecordCount()) * engine::kItemRecordBytes / 1e6;
  std::vector<engine::ItemRecord> found;
  auto t5 = Clock::now();
  int32_t searchResult = store.Search("*.jpg|*.doc", found);
  double searchSeconds = Seconds(t5);
  std::printf("search \"*.jpg|*.doc\": %zu found in %.3f s = %.0f MB/s of record file (%.0f MB, result %d)\n",
              found.size(), searchSeconds, fileMB / searchSeconds, fileMB, searchResult);
  const long afterSearchKiB = PeakKiB();
  std::printf("peak memory after search: %.1f MiB (results held: %.1f MiB)\n", afterSearchKiB / 1024.0,
              found.capacity() * engine::kItemRecordBytes / 1048576.0);
  found = {};

  auto t6 = Clock::now();
  searchResult = store.Search(".other", found);
  searchSeconds = Seconds(t6);
  std::printf("search \".other\": %zu found in %.3f s = %.0f MB/s (record file over 128 MiB: rule off)\n", found.size(),
              searchSeconds, fileMB / searchSeconds);

  store.CloseStore();

  // Below 128 MiB of record file the "other" rule is on: every extension is
  // looked up in the known-extensions text.
  {
    engine::store::ScanStore small;
    if (small.OpenStore("Fast_small", home + "scan/") == engine::kStatusOk) {
      constexpr int kSmallRecords = 380000;  // 131.5 MB < 128 MiB
      for (int i = 0; i < kSmallRecords; ++i) {
        const char* ext = ExtensionFor(i);
        std::snprintf(name, sizeof name, ext[0] != '\0' ? "file_%07d.%s" : "file_%07d", i, ext);
        engine::ItemRecord* slot = small.AppendRecord();
        *slot = engine::ZeroRecord();
        slot->isIntact = 1;
        slot->id = small.RecordCount();
        engine::SetItemName(*slot, name);
        small.AddChild(kRootLocator, 0, slot->id, 0, nullptr);
      }
      const double smallMB = static_cast<double>(kSmallRecords) * engine::kItemRecordBytes / 1e6;
      found = {};
      auto t7 = Clock::now();
      searchResult = small.Search(".other", found);
      searchSeconds = Seconds(t7);
      std::printf("search \".other\" with the rule on: %zu found in %.3f s = %.0f MB/s (%.0f MB)\n", found.size(),
                  searchSeconds, smallMB / searchSeconds, smallMB);
      found = {};
    }
  }
  const long endKiB = PeakKiB();
  std::printf("peak memory: start %.1f MiB, end %.1f MiB, growth %.1f MiB\n", startKiB / 1024.0, endKiB / 1024.0,
              (endKiB - startKiB) / 1024.0);
  (void)platform::RemoveTree(home);
  return 0;
}
