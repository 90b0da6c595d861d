// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/exfat_table.h"

#include <algorithm>
#include <unordered_set>

namespace engine::exfat {

Status ExFatTable::Load(ExFatVolume& volume, const ExFatGeometry& g, uint64_t windowBytes) {
  m_volume = nullptr;
  m_geometry = &g;
  // Entries of clusters 0..maxCluster, within the FAT and the volume.
  const uint64_t fatStart = g.fatSector * g.bytesPerSector;
  uint64_t used = std::min<uint64_t>((uint64_t{g.maxCluster} + 1) * 4, g.fatSectors * g.bytesPerSector);
  used = fatStart < volume.VolumeBytes() ? std::min(used, volume.VolumeBytes() - fatStart) : 0;
  used -= used % 4;
  if (used < 8) return kStatusInvalidParameter;
  m_usedBytes = used;
  const uint64_t window = std::min<uint64_t>(std::max<uint64_t>(windowBytes, g.bytesPerSector), used);
  m_window.assign(static_cast<size_t>(window), 0);
  m_windowStart = 0;
  m_windowValid = 0;
  m_volume = &volume;
  if (Status s = MoveWindow(0); s != kStatusOk) {
    m_volume = nullptr;
    return s;
  }
  return kStatusOk;
}

Status ExFatTable::MoveWindow(uint64_t byteOffset) {
  const uint64_t sector = m_geometry->bytesPerSector;
  uint64_t start = byteOffset - byteOffset % sector;
  if (start + m_window.size() > m_usedBytes) {
    start = m_usedBytes > m_window.size() ? m_usedBytes - m_window.size() : 0;
    start -= start % 4;
  }
  const uint64_t length = std::min<uint64_t>(m_window.size(), m_usedBytes - start);
  m_windowValid = 0;
  if (Status s = m_volume->Read(m_geometry->fatSector * sector + start, m_window.data(), static_cast<size_t>(length));
      s != kStatusOk) {
    return s;
  }
  m_windowStart = start;
  m_windowValid = length;
  return kStatusOk;
}

Status ExFatTable::Entry(uint32_t cluster, uint32_t* value) {
  *value = 0xFFFFFFFF;
  if (!IsLoaded()) return kStatusInvalidParameter;
  if (!m_geometry->IsDataCluster(cluster)) return kStatusOk;
  const uint64_t at = uint64_t{cluster} * 4;
  if (at + 4 > m_usedBytes) return kStatusOk;
  if (at < m_windowStart || at + 4 > m_windowStart + m_windowValid) {
    if (Status s = MoveWindow(at); s != kStatusOk) return s;
  }
  const size_t i = static_cast<size_t>(at - m_windowStart);
  *value = static_cast<uint32_t>(m_window[i]) | (static_cast<uint32_t>(m_window[i + 1]) << 8) |
           (static_cast<uint32_t>(m_window[i + 2]) << 16) | (static_cast<uint32_t>(m_window[i + 3]) << 24);
  return kStatusOk;
}

Status ExFatTable::Next(uint32_t cluster, uint32_t* next) {
  *next = 0;
  uint32_t value = 0;
  if (Status s = Entry(cluster, &value); s != kStatusOk) return s;
  if (value >= kEndOfChainMin || !m_geometry->IsDataCluster(value)) return kStatusOk;
  *next = value;
  return kStatusOk;
}

Status ExFatTable::Chain(uint32_t first, uint64_t count, std::vector<uint32_t>* out, bool* complete) {
  out->clear();
  *complete = false;
  if (!m_geometry->IsDataCluster(first) || count == 0) return kStatusOk;
  std::unordered_set<uint32_t> seen;
  uint32_t cluster = first;
  while (out->size() < count) {
    if (!seen.insert(cluster).second) return kStatusOk;  // a loop
    out->push_back(cluster);
    if (out->size() == count) break;
    uint32_t next = 0;
    if (Status s = Next(cluster, &next); s != kStatusOk) return s;
    if (next == 0) return kStatusOk;
    cluster = next;
  }
  *complete = true;
  return kStatusOk;
}

}  // namespace engine::exfat
