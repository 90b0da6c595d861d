// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "tests/engine/fat/fat_test_util.h"
#include "tests/support/test_support.h"

namespace engine::exfat_testing {

using fat_testing::CollectAll;
using fat_testing::FoundItem;
using fat_testing::MemorySource;
using fat_testing::ScanHome;

// Opens the fast exFAT engine on an image file and scans it.
inline std::unique_ptr<exfat::CFastExFatRecovery> ScanImage(const std::string& path, Status* scanStatus = nullptr) {
  auto engine = std::make_unique<exfat::CFastExFatRecovery>();
  EXPECT_EQ(engine->OpenImage(path, 'X'), kStatusOk) << path;
  const Status s = engine->Scan(nullptr);
  if (scanStatus != nullptr) {
    *scanStatus = s;
  } else {
    EXPECT_EQ(s, kStatusOk) << path;
  }
  return engine;
}

// Opens the fast exFAT engine on bytes in memory and scans them.
inline std::unique_ptr<exfat::CFastExFatRecovery> ScanBytes(std::vector<uint8_t> bytes, Status* scanStatus = nullptr,
                                                            storage::MemorySourceOptions options = {}) {
  auto engine = std::make_unique<exfat::CFastExFatRecovery>();
  EXPECT_EQ(engine->OpenSource(MemorySource(std::move(bytes), std::move(options)), 0, 0, 'M'), kStatusOk);
  const Status s = engine->Scan(nullptr);
  if (scanStatus != nullptr) {
    *scanStatus = s;
  } else {
    EXPECT_EQ(s, kStatusOk);
  }
  return engine;
}

// The byte offset of the entry set (its file entry) whose name is `name`,
// live or deleted, searched at 32-byte steps; npos when there is none.
inline size_t FindEntrySet(const std::vector<uint8_t>& bytes, const std::string& name, size_t from = 0) {
  const ByteView view(bytes.data(), bytes.size());
  for (size_t at = from; at + 64 <= bytes.size(); at += 32) {
    if ((bytes[at] | 0x80) != exfat::entry::kFile) continue;
    exfat::EntrySet set;
    if (exfat::ParseEntrySet(view, at, nullptr, &set) == exfat::SetParse::kSet && set.name == name) return at;
  }
  return std::string::npos;
}

// Rewrites the set checksum of the entry set at `at` as a live set has it.
inline void FixSetChecksum(std::vector<uint8_t>& bytes, size_t at) {
  const size_t count = 1 + size_t{bytes[at + 1]};
  const uint16_t sum = exfat::EntrySetChecksum(bytes.data() + at, count, true);
  bytes[at + 2] = static_cast<uint8_t>(sum & 0xFF);
  bytes[at + 3] = static_cast<uint8_t>(sum >> 8);
}

// Sets or clears the in-use bit of every entry of the set at `at`.
inline void SetInUse(std::vector<uint8_t>& bytes, size_t at, bool inUse) {
  const size_t count = 1 + size_t{bytes[at + 1]};
  for (size_t i = 0; i < count; ++i) {
    uint8_t& type = bytes[at + 32 * i];
    type = inUse ? static_cast<uint8_t>(type | 0x80) : static_cast<uint8_t>(type & 0x7F);
  }
}

// Little-endian writes into bytes.
inline void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The first cluster a manifest note gives ("cluster=N"), or 0.
inline uint32_t NoteCluster(const std::string& note) {
  const size_t at = note.find("cluster=");
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(note.substr(at + 8)));
}

// Collects the bytes an engine hands to a sink.
class CollectSink final : public ICopySink {
 public:
  Status Write(const uint8_t* data, size_t byteCount) override {
    bytes.insert(bytes.end(), data, data + byteCount);
    return kStatusOk;
  }
  std::vector<uint8_t> bytes;
};

// Feeds every sector of the volume that passes the directory test to the
// engine, 64 KiB at a time as the coordinator reads, each sector with the
// rest of its chunk. Returns the sectors handed over.
inline uint64_t FeedVolume(exfat::CProfessionalExFatRecovery& engine, storage::SectorSource& source, uint64_t startSector,
                    uint64_t sectorCount) {
  constexpr uint32_t kSector = 512;
  constexpr uint32_t kChunk = 128;
  std::vector<uint8_t> chunk(kChunk * kSector);
  uint64_t handed = 0;
  for (uint64_t at = 0; at < sectorCount; at += kChunk) {
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kChunk, sectorCount - at));
    uint32_t got = 0;
    if (storage::ReadSectors(count, source, chunk.data(), startSector + at, kSector, &got) != kStatusOk) continue;
    for (uint32_t i = 0; i < got; ++i) {
      const uint8_t* sector = chunk.data() + size_t{i} * kSector;
      const size_t rest = size_t{got - i} * kSector;
      if (!exfat::IsExFatDirectorySector(sector, rest, kSector)) continue;
      engine.HandleExFatDirectorySector(sector, rest, startSector + at + i);
      ++handed;
    }
  }
  return handed;
}

// Opens, begins, prepares, feeds and finishes the engine over an image (or
// the volume at startSector of it).
struct DeepScan {
  storage::SectorSource source;
  exfat::CProfessionalExFatRecovery engine;
  Status finished = kStatusInvalidParameter;
  uint64_t handed = 0;
  bool bootGeometry = false;

  DeepScan(const std::string& image, uint64_t startSector = 0, uint64_t sectorCount = 0) {
    EXPECT_EQ(storage::OpenImageSource(source, image), kStatusOk);
    if (sectorCount == 0) sectorCount = source.totalSectors - startSector;
    EXPECT_EQ(engine.OpenSharedSource(source, 512, startSector, sectorCount, 'P'), kStatusOk);
    EXPECT_EQ(engine.BeginExFatScan(nullptr), kStatusOk);
    bootGeometry = engine.PrepareExFatGeometry();
    handed = FeedVolume(engine, source, startSector, sectorCount);
    finished = engine.FinishExFatScan();
  }
};

}  // namespace engine::exfat_testing
