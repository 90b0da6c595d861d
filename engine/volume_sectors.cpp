// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/volume_sectors.h"

#include <algorithm>
#include <utility>

namespace engine {

void VolumeSectors::Own(storage::SectorSource source, uint32_t sectorSize, uint64_t startSector, uint64_t sectorCount) {
  m_owned = std::move(source);
  m_source = &m_owned;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  Clip();
}

void VolumeSectors::Borrow(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                           uint64_t sectorCount) {
  storage::CloseSource(m_owned);
  m_source = &source;
  m_sectorSize = sectorSize == 0 ? 512 : sectorSize;
  m_startSector = startSector;
  m_sectorCount = sectorCount;
  Clip();
}

void VolumeSectors::Close() {
  storage::CloseSource(m_owned);
  m_source = nullptr;
  m_startSector = 0;
  m_sectorCount = 0;
}

void VolumeSectors::Clip() {
  const uint64_t total = m_source != nullptr ? m_source->totalSectors : 0;
  const uint64_t available = m_startSector < total ? total - m_startSector : 0;
  m_sectorCount = m_sectorCount == 0 ? available : std::min(m_sectorCount, available);
}

bool VolumeSectors::Contains(uint64_t sector, uint64_t count) const {
  if (sector < m_startSector) return false;
  const uint64_t offset = sector - m_startSector;
  return offset <= m_sectorCount && count <= m_sectorCount - offset;
}

Status VolumeSectors::Read(uint64_t sector, uint32_t count, uint8_t* buffer, uint32_t* sectorsRead) {
  if (sectorsRead != nullptr) *sectorsRead = 0;
  if (!IsOpen() || buffer == nullptr || !Contains(sector, count)) return kStatusInvalidParameter;
  if (count == 0) return kStatusOk;
  uint32_t got = 0;
  Status s = storage::ReadSectors(count, *m_source, buffer, sector, m_sectorSize, &got);
  if (sectorsRead != nullptr) *sectorsRead = got;
  if (s == kStatusOk && got != count) s = kStatusReadFault;
  return s;
}

}  // namespace engine
