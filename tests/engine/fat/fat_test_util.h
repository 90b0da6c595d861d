// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/store/scan_index.h"
#include "platform/folders.h"
#include "tests/support/test_support.h"

namespace engine::fat_testing {

// One item reachable from the root through ListChildren, with its path
// ("/Docs/draft.txt") and the depth its folder was listed with.
struct FoundItem {
  std::string path;
  ItemRecord record;
  int32_t depth = 0;
};

// Every item reachable from the root, breadth-first, keyed by path. A
// path seen twice gets " #2" appended so that nothing is lost.
inline std::map<std::string, FoundItem> CollectAll(IFileRecoveryParse& engine) {
  std::map<std::string, FoundItem> all;
  struct Pending {
    ItemRecord record;
    std::string path;
    int32_t depth;
    bool root;
  };
  std::vector<Pending> queue;
  queue.push_back({ZeroRecord(), "", 0, true});
  for (size_t i = 0; i < queue.size() && i < 100000; ++i) {
    Pending p = queue[i];
    std::vector<ItemRecord> children;
    EXPECT_EQ(engine.ListChildren(p.root ? nullptr : &p.record, p.depth, children), kStatusOk);
    for (const ItemRecord& child : children) {
      std::string path = p.path + "/" + std::string(child.Name());
      std::string key = path;
      for (int n = 2; all.count(key) != 0; ++n) key = path + " #" + std::to_string(n);
      all[key] = FoundItem{path, child, p.depth};
      if (child.isFolder != 0) queue.push_back({child, path, p.depth + 1, false});
    }
  }
  return all;
}

// A data home and a fresh scan folder for the test's lifetime.
class ScanHome {
 public:
  ScanHome() {
    store::ScanIndex::Instance().Load();
    EXPECT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  }
  const std::string& path() const { return m_home.path(); }

 private:
  testing_support::ScopedDataHome m_home;
};

// Opens an engine on an image file and scans it.
inline std::unique_ptr<fat::CFastFatRecovery> ScanImage(const std::string& path, Status* scanStatus = nullptr) {
  auto engine = std::make_unique<fat::CFastFatRecovery>();
  Status open = engine->OpenImage(path, 'E');
  EXPECT_EQ(open, kStatusOk) << path;
  Status s = engine->Scan(nullptr);
  if (scanStatus != nullptr) {
    *scanStatus = s;
  } else {
    EXPECT_EQ(s, kStatusOk) << path;
  }
  return engine;
}

// A sector source over a copy of bytes (512-byte sectors).
inline storage::SectorSource MemorySource(std::vector<uint8_t> bytes, storage::MemorySourceOptions options = {}) {
  storage::SectorSource source;
  storage::OpenMemorySource(source, std::move(bytes), std::move(options));
  return source;
}

// Opens an engine on bytes in memory and scans them.
inline std::unique_ptr<fat::CFastFatRecovery> ScanBytes(std::vector<uint8_t> bytes, Status* scanStatus = nullptr,
                                                        storage::MemorySourceOptions options = {}) {
  auto engine = std::make_unique<fat::CFastFatRecovery>();
  EXPECT_EQ(engine->OpenSource(MemorySource(std::move(bytes), std::move(options)), 0, 0, 'M'), kStatusOk);
  Status s = engine->Scan(nullptr);
  if (scanStatus != nullptr) {
    *scanStatus = s;
  } else {
    EXPECT_EQ(s, kStatusOk);
  }
  return engine;
}

// Byte offset of the first 32-byte directory entry (at a 32-byte boundary)
// whose first 11 bytes are name11; npos when there is none.
inline size_t FindShortEntry(const std::vector<uint8_t>& bytes, const std::string& name11, size_t from = 0) {
  for (size_t at = from; at + 32 <= bytes.size(); at += 32) {
    if (std::memcmp(name11.data(), bytes.data() + at, name11.size()) == 0) return at;
  }
  return std::string::npos;
}

// Marks the short entry at `at` and the long-name entries right before it deleted.
inline void MarkDeleted(std::vector<uint8_t>& bytes, size_t at) {
  bytes[at] = 0xE5;
  for (size_t e = at; e >= 32 && bytes[e - 32 + 11] == 0x0F; e -= 32) bytes[e - 32] = 0xE5;
}

// Path of a fixture image unpacked, or skips the test when it is missing.
#define QM_FIXTURE_OR_SKIP(var, gzName)                             \
  const std::string var = testing_support::UnpackedFixture(gzName); \
  if (var.empty()) GTEST_SKIP() << "fixture " << (gzName) << " is not available"

#define QM_SHARED_OR_SKIP(var, gzRelative)                                     \
  const std::string var = testing_support::UnpackedSharedTestData(gzRelative); \
  if (var.empty()) GTEST_SKIP() << "shared test data " << (gzRelative) << " is not available"

}  // namespace engine::fat_testing
