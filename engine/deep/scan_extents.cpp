// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/deep/scan_extents.h"

#include <algorithm>

namespace engine::deep {

void ScanExtents::SetWhole(uint64_t sectorCount) {
  m_extents.clear();
  Append(0, sectorCount);
}

void ScanExtents::Append(uint64_t start, uint64_t count) {
  if (count == 0) return;
  if (!m_extents.empty() && m_extents.back().start + m_extents.back().count >= start) {
    SectorExtent& last = m_extents.back();
    last.count = std::max(last.start + last.count, start + count) - last.start;
    return;
  }
  m_extents.push_back(SectorExtent{start, count});
}

bool ScanExtents::CollectFree(IFileRecoveryParse& fast, uint32_t fastSectorBytes, uint32_t sectorBytes,
                              uint64_t sectorCount) {
  m_extents.clear();
  if (fastSectorBytes == 0 || sectorBytes == 0) return false;
  const uint64_t volumeBytes = sectorCount * sectorBytes;
  uint64_t position = 0;
  for (bool first = true;; first = false) {
    uint64_t sector = position;
    uint64_t count = 0;  // cleared every time: an engine at the end may leave it as it was
    if (fast.GetNextFreeExtent(&sector, &count) == 0) {
      if (first) return false;
      break;
    }
    if (count == 0 || sector < position) break;
    const uint64_t maxSectors = ~uint64_t{0} / fastSectorBytes;
    if (sector >= maxSectors || count > maxSectors - sector) break;
    const uint64_t fromByte = sector * fastSectorBytes;
    const uint64_t toByte = std::min(volumeBytes, (sector + count) * fastSectorBytes);
    if (fromByte >= volumeBytes) break;
    // Partial coordinator sectors at either end are read whole.
    const uint64_t from = fromByte / sectorBytes;
    const uint64_t to = (toByte + sectorBytes - 1) / sectorBytes;
    Append(from, to - from);
    position = sector + count;
  }
  return true;
}

void ScanExtents::AddPastEnd(uint64_t fileSystemSectors, uint64_t sectorCount) {
  if (fileSystemSectors >= sectorCount) return;
  Append(fileSystemSectors, sectorCount - fileSystemSectors);
}

void ScanExtents::Subtract(const std::vector<ByteRun>& runs, uint32_t sectorBytes) {
  if (runs.empty() || sectorBytes == 0) return;
  std::vector<SectorExtent> kept;
  kept.reserve(m_extents.size());
  size_t r = 0;
  for (const SectorExtent& e : m_extents) {
    uint64_t at = e.start;
    const uint64_t end = e.start + e.count;
    while (r < runs.size() && (runs[r].offset + runs[r].length) / sectorBytes <= at) ++r;
    for (size_t k = r; k < runs.size() && at < end; ++k) {
      const uint64_t cutFrom = (runs[k].offset + sectorBytes - 1) / sectorBytes;
      const uint64_t cutTo = (runs[k].offset + runs[k].length) / sectorBytes;
      if (cutFrom >= end) break;
      if (cutTo <= cutFrom || cutTo <= at) continue;
      if (cutFrom > at) kept.push_back(SectorExtent{at, cutFrom - at});
      at = std::max(at, cutTo);
    }
    if (at < end) kept.push_back(SectorExtent{at, end - at});
  }
  m_extents = std::move(kept);
}

uint64_t ScanExtents::TotalSectors() const {
  uint64_t total = 0;
  for (const SectorExtent& e : m_extents) total += e.count;
  return total;
}

}  // namespace engine::deep
