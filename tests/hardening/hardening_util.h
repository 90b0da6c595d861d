// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Scanning a fixture's bytes (whole, damaged or with sectors that fail to
// read) through its fast engine or the deep-scan coordinator, and reading
// back everything the scan shows: each item by a key that stays the same
// from one scan of the volume to the next, and the content of every file
// that copies out.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/deep/professional_recovery.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/store/scan_index.h"
#include "platform/folders.h"
#include "storage/sector_source.h"
#include "tests/engine/deep/deep_scan_util.h"
#include "tests/support/test_support.h"

namespace hardening {

using engine::IFileRecoveryParse;
using engine::ItemRecord;
using engine::Status;

enum class Mode { kFast, kDeep };

// Faults and a record of reads for a memory source.
struct SourceOptions {
  std::set<uint64_t> faultSectors;  // 512-byte sectors that fail to read
  // When given: every 512-byte sector a device read asked for, read or not
  // (to aim faults at what an operation reads).
  std::shared_ptr<std::set<uint64_t>> readSectors;
};

// A device that notes the sectors every read asks for, then reads through
// another device.
class RecordingDevice final : public storage::ISourceDevice {
 public:
  RecordingDevice(std::unique_ptr<storage::ISourceDevice> inner, std::shared_ptr<std::set<uint64_t>> reads)
      : m_inner(std::move(inner)), m_reads(std::move(reads)) {}
  Status ReadAt(uint64_t byteOffset, void* buffer, size_t byteCount, size_t* bytesRead) override {
    for (uint64_t s = byteOffset / 512; s * 512 < byteOffset + byteCount; ++s) m_reads->insert(s);
    return m_inner->ReadAt(byteOffset, buffer, byteCount, bytesRead);
  }

 private:
  std::unique_ptr<storage::ISourceDevice> m_inner;
  std::shared_ptr<std::set<uint64_t>> m_reads;
};

// A memory source over bytes with the options' faults and read record.
inline void OpenSource(storage::SectorSource& source, std::vector<uint8_t> bytes, const SourceOptions& options) {
  storage::MemorySourceOptions memory;
  memory.faultSectors = options.faultSectors;
  storage::OpenMemorySource(source, std::move(bytes), std::move(memory));
  if (options.readSectors) {
    source.handle = std::make_unique<RecordingDevice>(std::move(source.handle), options.readSectors);
  }
}

inline const char* ModeName(Mode mode) {
  return mode == Mode::kFast ? "fast" : "deep";
}

// One scan: the source it reads (outliving the engine), the engine, and how
// the open and the scan ended.
struct ScanRun {
  storage::SectorSource source;
  std::unique_ptr<IFileRecoveryParse> engine;
  Status openStatus = engine::kStatusOk;
  Status scanStatus = engine::kStatusOk;
  engine::deep::CProfessionalRecovery* deep = nullptr;  // the engine, in deep mode

  ~ScanRun() { engine.reset(); }  // before the source it reads
};

// The fast engine for a fixture, by its name's prefix (fat, ntfs, exfat).
inline std::unique_ptr<IFileRecoveryParse> FastEngineFor(const std::string& fixture) {
  if (fixture.rfind("ntfs", 0) == 0) return std::make_unique<engine::ntfs::CFastNtfsRecovery>();
  if (fixture.rfind("exfat", 0) == 0) return std::make_unique<engine::exfat::CFastExFatRecovery>();
  return std::make_unique<engine::fat::CFastFatRecovery>();
}

// Opens and scans bytes in a new scan folder, or in the current one
// (newFolder false); the caller provides the data home. Fast mode: the
// fixture's fast engine on its own source; deep mode: the coordinator on a
// source the run keeps.
inline std::unique_ptr<ScanRun> ScanBytes(const std::string& fixture, Mode mode, std::vector<uint8_t> bytes,
                                          const SourceOptions& options = {}, bool newFolder = true) {
  auto run = std::make_unique<ScanRun>();
  if (newFolder) {
    EXPECT_EQ(engine::store::ScanIndex::Instance().NewScanFolder(), engine::kStatusOk);
  }
  storage::SectorSource source;
  OpenSource(source, std::move(bytes), options);
  if (mode == Mode::kFast) {
    auto fast = FastEngineFor(fixture);
    Status open = engine::kStatusOk;
    if (auto* fat = dynamic_cast<engine::fat::CFastFatRecovery*>(fast.get())) {
      open = fat->OpenSource(std::move(source), 0, 0, 'H');
    } else if (auto* ntfs = dynamic_cast<engine::ntfs::CFastNtfsRecovery*>(fast.get())) {
      open = ntfs->OpenSource(std::move(source), 0, 0, 'H');
    } else if (auto* exfat = dynamic_cast<engine::exfat::CFastExFatRecovery*>(fast.get())) {
      open = exfat->OpenSource(std::move(source), 0, 0, 'H');
    }
    run->openStatus = open;
    run->engine = std::move(fast);
  } else {
    run->source = std::move(source);
    auto deep = std::make_unique<engine::deep::CProfessionalRecovery>();
    run->openStatus = deep->OpenSharedSource(run->source, 0, 0, 'H');
    run->deep = deep.get();
    run->engine = std::move(deep);
  }
  if (run->openStatus == engine::kStatusOk) run->scanStatus = run->engine->Scan(nullptr);
  return run;
}

// What names one item from one scan of a volume to the next.
inline std::string KeyOf(const ItemRecord& r) {
  return std::to_string(r.sourceKind) + "/" + std::to_string(r.locator) + "/" + std::to_string(r.entrySector) + "/" +
         std::to_string(r.size) + "/" + std::string(r.Name());
}

// Every file the engine lists (browsing from the root), by key.
inline std::map<std::string, ItemRecord> ListedFiles(IFileRecoveryParse& engine) {
  std::map<std::string, ItemRecord> files;
  for (const auto& listed : engine::deep_testing::ListEverything(engine)) {
    if (listed.record.isFolder == 0) files.emplace(KeyOf(listed.record), listed.record);
  }
  return files;
}

// How the copy of one file ended: its status, and its content's sha256
// when it succeeded.
struct Copied {
  Status status = engine::kStatusOk;
  std::string sha256;
  bool leftFile = false;  // a failed copy left a file behind
};

// Copies every file of `files` (at most `limit`) into outFolder and tells how each went.
inline std::map<std::string, Copied> CopyAll(IFileRecoveryParse& engine, const std::map<std::string, ItemRecord>& files,
                                             const std::string& outFolder, size_t limit = 100000) {
  std::map<std::string, Copied> copied;
  size_t n = 0;
  for (const auto& [key, record] : files) {
    if (n >= limit) break;
    const std::string target = outFolder + "c" + std::to_string(n++);
    Copied c;
    c.status = engine.RecoverItem(&record, target, 0);
    if (c.status == engine::kStatusOk) {
      c.sha256 = testing_support::Sha256OfFile(target);
    } else {
      c.leftFile = platform::PathExists(target);
    }
    std::error_code ignored;
    std::filesystem::remove(target, ignored);
    copied[key] = c;
  }
  return copied;
}

}  // namespace hardening
