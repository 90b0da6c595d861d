// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Running the deep-scan coordinator over bytes in memory and reading back
// what it shows: every listed item with its path, and the content of every
// file it copies out.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/deep/professional_recovery.h"
#include "engine/store/scan_index.h"
#include "storage/sector_source.h"
#include "tests/support/test_support.h"

namespace engine::deep_testing {

// A coordinator with the source it reads (the source outlives it).
struct DeepRun {
  storage::SectorSource source;
  std::unique_ptr<deep::CProfessionalRecovery> engine = std::make_unique<deep::CProfessionalRecovery>();
  Status status = kStatusOk;
};

// Opens the coordinator on bytes (sectors of sectorBytes) and scans in a
// new scan folder. fn/user: the progress callback.
inline std::unique_ptr<DeepRun> DeepScanBytes(std::vector<uint8_t> bytes, uint32_t sectorBytes = 512,
                                              storage::MemorySourceOptions options = {},
                                              ScanProgressFn fn = nullptr, void* user = nullptr) {
  auto run = std::make_unique<DeepRun>();
  storage::OpenMemorySource(run->source, std::move(bytes), std::move(options));
  run->source.deviceSectorSize = sectorBytes;
  run->source.totalSectors = run->source.totalSectors * 512 / sectorBytes;
  EXPECT_EQ(store::ScanIndex::Instance().NewScanFolder(), kStatusOk);
  EXPECT_EQ(run->engine->OpenSharedSource(run->source, 0, 0, 'D'), kStatusOk);
  (void)run->engine->SetProgressCallbacks(fn, nullptr, user, 100);
  run->status = run->engine->Scan(nullptr);
  return run;
}

// One listed item and the path it was listed under.
struct Listed {
  std::string path;
  ItemRecord record;
  int32_t depth = 0;
};

// Every item reachable from the root, breadth-first.
inline std::vector<Listed> ListEverything(IFileRecoveryParse& engine) {
  std::vector<Listed> all;
  struct Pending {
    ItemRecord record;
    std::string path;
    int32_t depth;
    bool root;
  };
  std::vector<Pending> queue{{ZeroRecord(), "", 0, true}};
  for (size_t i = 0; i < queue.size() && i < 200000; ++i) {
    const Pending p = queue[i];
    std::vector<ItemRecord> children;
    EXPECT_EQ(engine.ListChildren(p.root ? nullptr : &p.record, p.depth, children), kStatusOk) << p.path;
    for (const ItemRecord& child : children) {
      const std::string path = p.path + "/" + std::string(child.Name());
      all.push_back(Listed{path, child, p.depth});
      if (child.isFolder != 0) queue.push_back({child, path, p.depth + 1, false});
    }
  }
  return all;
}

// The content hash of every listed file that copies out, keyed by path
// (a path listed twice gets " #2").
inline std::map<std::string, std::string> CopiedContents(IFileRecoveryParse& engine, const std::vector<Listed>& all,
                                                         const std::string& outFolder) {
  std::map<std::string, std::string> out;
  int n = 0;
  for (const Listed& item : all) {
    if (item.record.isFolder != 0) continue;
    const std::string target = outFolder + "f" + std::to_string(n++);
    if (engine.RecoverItem(&item.record, target, 0) != kStatusOk) continue;
    std::string key = item.path;
    for (int k = 2; out.count(key) != 0; ++k) key = item.path + " #" + std::to_string(k);
    out[key] = testing_support::Sha256OfFile(target);
  }
  return out;
}

// Files by (engine, id) reached by browsing and by searching everything.
inline std::set<std::pair<int32_t, int32_t>> FileKeys(const std::vector<ItemRecord>& items) {
  std::set<std::pair<int32_t, int32_t>> keys;
  for (const ItemRecord& r : items) {
    if (r.isFolder == 0) keys.insert({+r.sourceKind, +r.id});
  }
  return keys;
}

}  // namespace engine::deep_testing
