// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/lost_volumes.h"

#include <algorithm>

#include "engine/boot_sector_tests.h"
#include "storage/drive_letters.h"
#include "storage/sector_source.h"

namespace jobs {
namespace {

// Every sector of this much is looked at after a stretch's start and after each volume found.
constexpr uint64_t kWindowBytes = 2u << 20;
// Beyond it, 1 MiB boundaries (the partitioning tools' alignment), at most kMaxProbes of them per search.
constexpr uint64_t kProbeStepBytes = 1u << 20;
constexpr uint64_t kMaxProbes = 4096;

struct FoundVolume {
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  engine::VolumeKind kind = engine::VolumeKind::kUnknown;
};

class VolumeSearch {
 public:
  VolumeSearch(storage::SectorSource& source, uint32_t sectorSize) : m_source(source), m_sectorSize(sectorSize) {}

  // The first volume that starts in [from, end) and ends by end.
  bool Find(uint64_t from, uint64_t end, FoundVolume* found) {
    const uint64_t headSectors = engine::kClassifyBytes / m_sectorSize;
    // Every sector of the window after from.
    const uint64_t windowSectors = std::min<uint64_t>(kWindowBytes / m_sectorSize, end - from);
    std::vector<uint8_t> bytes;
    if (Read(from, std::min(end - from, windowSectors + headSectors), &bytes)) {
      for (uint64_t k = 0; k < windowSectors; ++k) {
        const size_t offset = static_cast<size_t>(k * m_sectorSize);
        if (bytes.size() - offset < engine::kClassifyBytes) break;
        if (VolumeAt(bytes.data() + offset, from + k, end, found)) return true;
      }
    }
    // Then the 1 MiB boundaries of the rest.
    const uint64_t stepSectors = kProbeStepBytes / m_sectorSize;
    uint64_t step = stepSectors;
    const uint64_t rest = end - from > windowSectors ? end - from - windowSectors : 0;
    if (rest / step > kMaxProbes) step = (rest / kMaxProbes + stepSectors - 1) / stepSectors * stepSectors;
    for (uint64_t at = (from + windowSectors + stepSectors - 1) / stepSectors * stepSectors; at + headSectors <= end;
         at += step) {
      if (!Read(at, headSectors, &bytes) || bytes.size() < engine::kClassifyBytes) continue;
      if (VolumeAt(bytes.data(), at, end, found)) return true;
    }
    return false;
  }

 private:
  bool Read(uint64_t sector, uint64_t count, std::vector<uint8_t>* out) {
    out->assign(static_cast<size_t>(count * m_sectorSize), 0);
    uint32_t got = 0;
    if (storage::ReadSectors(static_cast<uint32_t>(count), m_source, out->data(), sector, m_sectorSize, &got) !=
        platform::kStatusOk) {
      out->resize(static_cast<size_t>(got) * m_sectorSize);
    }
    return !out->empty();
  }

  // A file system whose first 16 KiB lie at head (sector `sector`) and that ends by `end`.
  bool VolumeAt(const uint8_t* head, uint64_t sector, uint64_t end, FoundVolume* found) const {
    const engine::VolumeKind kind = engine::ClassifyVolume(head, engine::kClassifyBytes);
    if (kind == engine::VolumeKind::kUnknown || kind == engine::VolumeKind::kEncrypted) return false;
    const uint64_t bytes = engine::FileSystemBytes(head, engine::kClassifyBytes);
    const uint64_t sectors = (bytes + m_sectorSize - 1) / m_sectorSize;
    if (bytes == 0 || sectors > end - sector) return false;
    *found = FoundVolume{sector, sectors, kind};
    return true;
  }

  storage::SectorSource& m_source;
  const uint32_t m_sectorSize;
};

storage::VolumeTarget Part(const storage::VolumeTarget& stretch, uint64_t start, uint64_t count, bool volume) {
  storage::VolumeTarget t = stretch;
  t.unpartitioned = false;
  t.startSector = start;
  t.sectorCount = count;
  t.label = "disk " + std::to_string(stretch.diskNumber) +
            (volume ? " volume at sector " : " unpartitioned space at sector ") + std::to_string(start);
  // A new key: the stretch's own letter stays with the stretch.
  t.driveLetter = storage::DriveLetters::Instance().LetterFor(stretch.diskPath + (volume ? "@volume:" : "@space:") +
                                                              std::to_string(start));
  return t;
}

}  // namespace

std::vector<StretchPart> SplitStretch(const storage::VolumeTarget& stretch) {
  const uint32_t sectorSize = stretch.sectorSize;
  if (sectorSize == 0 || sectorSize > engine::kClassifyBytes || stretch.isImage) return {};
  const uint64_t minSectors = kMinUnpartitionedBytes / sectorSize;
  storage::VolumeTarget whole = stretch;
  whole.unpartitioned = false;
  std::vector<StretchPart> out;
  storage::SectorSource source;
  if (storage::OpenDiskSource(source, stretch.diskNumber) != platform::kStatusOk) {
    if (stretch.sectorCount >= minSectors) out.push_back({whole});
    return out;
  }
  const uint64_t end = stretch.startSector + stretch.sectorCount;
  VolumeSearch search(source, sectorSize);
  uint64_t rawFrom = stretch.startSector;
  FoundVolume found;
  while (rawFrom < end && search.Find(rawFrom, end, &found)) {
    if (found.startSector - rawFrom >= minSectors) {
      out.push_back({Part(stretch, rawFrom, found.startSector - rawFrom, false)});
    }
    out.push_back({Part(stretch, found.startSector, found.sectorCount, true), found.kind});
    rawFrom = found.startSector + found.sectorCount;
  }
  if (end - rawFrom >= minSectors) {
    out.push_back({rawFrom == stretch.startSector ? whole : Part(stretch, rawFrom, end - rawFrom, false)});
  }
  return out;
}

}  // namespace jobs
