// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Feeding engines sector by sector the way the deep-scan coordinator does:
// a sector that passes the directory-start test goes to the professional FAT
// engine's HandleDirectoryStart, else one that passes the directory-sector
// test to HandleDirectorySector, else to the signature scanner, which may
// take more than one sector.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/deep/file_type_recovery.h"
#include "engine/fat/professional_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "storage/sector_source.h"
#include "tests/support/test_support.h"

namespace engine::deep_testing {

// A run of sectors to feed, relative to the volume start.
struct Extent {
  uint64_t start = 0;
  uint64_t count = 0;
};

// What a feed did.
struct FeedResult {
  Status status = kStatusOk;  // the first status other than 0 and 87 from the carver
  uint64_t directoryStarts = 0;
  uint64_t directorySectors = 0;
  uint64_t carved = 0;
};

// Feeds the extents of the volume at volumeStart in 64 KiB reads. fat or
// carver may be null (then such sectors are passed over).
inline FeedResult FeedExtents(storage::SectorSource& source, uint64_t volumeStart, const std::vector<Extent>& extents,
                              fat::CProfessionalFatRecovery* fat, deep::CFileTypeRecovery* carver,
                              uint32_t sectorSize = 512) {
  FeedResult result;
  std::vector<uint8_t> chunk(65536);
  const uint32_t perChunk = static_cast<uint32_t>(chunk.size() / sectorSize);
  uint64_t total = 0;
  for (const Extent& e : extents) total += e.count;
  uint64_t done = 0;
  uint64_t found = 0;
  for (const Extent& e : extents) {
    uint64_t offset = 0;
    while (offset < e.count) {
      const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(perChunk, e.count - offset));
      const uint64_t first = volumeStart + e.start + offset;
      uint32_t got = 0;
      if (storage::ReadSectors(count, source, chunk.data(), first, sectorSize, &got) != kStatusOk && got == 0) {
        offset += count;
        continue;
      }
      uint64_t i = 0;
      while (i < got) {
        const uint8_t* sector = chunk.data() + i * sectorSize;
        const uint64_t absolute = first + i;
        if (IsDirectoryStart(sector, sectorSize)) {
          ++result.directoryStarts;
          if (fat != nullptr) fat->HandleDirectoryStart(sector, sectorSize, absolute);
          ++i;
        } else if (IsDirectorySector(sector, sectorSize)) {
          ++result.directorySectors;
          if (fat != nullptr) fat->HandleDirectorySector(sector, sectorSize, absolute);
          ++i;
        } else if (carver != nullptr) {
          uint64_t skip = 1;
          const Status s = carver->CarveAndRecord(sectorSize, sector, sectorSize, absolute,
                                                  {done + offset + i, total, -1, found}, &source, &skip, &found);
          if (s == kStatusOk) {
            ++result.carved;
          } else if (s != kStatusInvalidParameter && result.status == kStatusOk) {
            result.status = s;
          }
          i += s == kStatusOk ? skip : 1;
        } else {
          ++i;
        }
      }
      // A carve that ran past the chunk moves the next read behind the file.
      offset += std::max<uint64_t>(i, count);
    }
    done += e.count;
  }
  return result;
}

inline FeedResult FeedWhole(storage::SectorSource& source, uint64_t volumeStart, uint64_t sectorCount,
                            fat::CProfessionalFatRecovery* fat, deep::CFileTypeRecovery* carver) {
  return FeedExtents(source, volumeStart, {{0, sectorCount}}, fat, carver);
}

// The bytes an engine's RecoverItem writes for item, or empty with *status set.
inline std::vector<uint8_t> Recover(IFileRecoveryParse& engine, const ItemRecord& item, const std::string& folder,
                                    Status* status = nullptr) {
  const std::string path = folder + "out_" + std::to_string(item.id) + ".bin";
  const Status s = engine.RecoverItem(&item, path, 0);
  if (status != nullptr) *status = s;
  if (s != kStatusOk) return {};
  std::vector<uint8_t> bytes = testing_support::ReadFileBytes(path);
  std::remove(path.c_str());
  return bytes;
}

// The bytes of item as the preview extraction gives them (a temporary file or
// the buffer): the same data RecoverItem copies, without writing a file to
// its medium. Empty with *status set on a failure.
inline std::vector<uint8_t> Extract(IFileRecoveryParse& engine, const ItemRecord& item, Status* status = nullptr) {
  std::vector<uint8_t> buffer(static_cast<size_t>(item.size));
  uint32_t length = static_cast<uint32_t>(buffer.size());
  std::string temp;
  const Status s = engine.ExtractItem(&item, temp, buffer.data(), &length, nullptr, nullptr);
  if (status != nullptr) *status = s;
  if (s != kStatusOk) return {};
  if (!temp.empty()) return testing_support::ReadFileBytes(temp);
  buffer.resize(length);
  return buffer;
}

}  // namespace engine::deep_testing
