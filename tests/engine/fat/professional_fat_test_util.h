// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Runs the professional FAT engine over a volume the way the deep-scan
// coordinator will: the fast engine's free extents (or the whole volume when
// no file system opens), each sector classified as directory start,
// directory sector or other, then the finish.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat/professional_fat_recovery.h"
#include "tests/engine/deep/deep_test_util.h"
#include "tests/engine/fat/fat_test_util.h"

namespace engine::fat_testing {

// The free extents the fast engine reports for a volume, or the whole
// volume when it does not open (a boot sector that is gone).
inline std::vector<deep_testing::Extent> FreeExtentsOf(const std::vector<uint8_t>& bytes) {
  fat::CFastFatRecovery fast;
  const uint64_t sectors = bytes.size() / 512;
  if (fast.OpenSource(MemorySource(bytes), 0, 0, 'F') != kStatusOk) return {{0, sectors}};
  (void)fast.BuildAllocationMap();
  std::vector<deep_testing::Extent> extents;
  for (uint64_t sector = 0; sector < sectors;) {
    uint64_t count = 0;
    fast.GetNextFreeExtent(&sector, &count);
    if (count == 0) break;
    extents.push_back({sector, count});
    sector += count;
  }
  return extents;
}

// A professional FAT scan of bytes, finished; the found items by path.
struct ProScan {
  std::unique_ptr<ScanHome> home = std::make_unique<ScanHome>();
  storage::SectorSource source;
  std::unique_ptr<fat::CProfessionalFatRecovery> engine = std::make_unique<fat::CProfessionalFatRecovery>();
  deep_testing::FeedResult fed;
  Status finish = kStatusOk;
  std::map<std::string, FoundItem> found;
};

// freeSpaceOnly: feed the fast engine's free extents (deep mode on an
// intact volume); otherwise the whole volume.
inline std::unique_ptr<ProScan> RunProfessional(const std::vector<uint8_t>& bytes, bool freeSpaceOnly) {
  auto scan = std::make_unique<ProScan>();
  storage::OpenMemorySource(scan->source, bytes);
  EXPECT_EQ(scan->engine->OpenSharedSource(scan->source, 512, 0, 0, 'P'), kStatusOk);
  EXPECT_EQ(scan->engine->BeginFatScan(nullptr), kStatusOk);
  (void)scan->engine->PrepareFatGeometry();
  const std::vector<deep_testing::Extent> extents =
      freeSpaceOnly ? FreeExtentsOf(bytes) : std::vector<deep_testing::Extent>{{0, bytes.size() / 512}};
  scan->fed = deep_testing::FeedExtents(scan->source, 0, extents, scan->engine.get(), nullptr);
  scan->finish = scan->engine->FinishFatScan();
  scan->found = CollectAll(*scan->engine);
  return scan;
}

inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace engine::fat_testing
