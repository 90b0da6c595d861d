// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/volume_sectors.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

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

Status VolumeSectors::ReadBytes(uint64_t byteOffset, void* buffer, size_t byteCount) {
  if (!IsOpen() || m_sectorSize == 0) return kStatusInvalidParameter;
  const uint64_t first = byteOffset / m_sectorSize;
  const uint64_t end = byteOffset + byteCount;
  if (end < byteOffset || !Contains(first, (end + m_sectorSize - 1) / m_sectorSize - first)) {
    return kStatusInvalidParameter;
  }
  return ReadSourceBytes(*m_source, m_sectorSize, byteOffset, buffer, byteCount);
}

Status ReadSourceBytes(storage::SectorSource& source, uint32_t sectorSize, uint64_t byteOffset, void* buffer,
                       size_t byteCount) {
  constexpr uint64_t kMaxSectorsAtOnce = 256;
  if (sectorSize == 0) return kStatusInvalidParameter;
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t unit = sectorSize;
  std::vector<uint8_t> bounce;
  while (byteCount > 0) {
    const uint64_t sector = byteOffset / unit;
    const size_t within = static_cast<size_t>(byteOffset % unit);
    size_t took = 0;
    uint32_t got = 0;
    if (within == 0 && byteCount >= unit) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(byteCount / unit, kMaxSectorsAtOnce));
      const Status s = storage::ReadSectors(count, source, out, sector, sectorSize, &got);
      if (s != kStatusOk) return s;
      if (got != count) return kStatusReadFault;
      took = static_cast<size_t>(count * unit);
    } else {
      bounce.resize(static_cast<size_t>(unit));
      const Status s = storage::ReadSectors(1, source, bounce.data(), sector, sectorSize, &got);
      if (s != kStatusOk) return s;
      if (got != 1) return kStatusReadFault;
      took = std::min<size_t>(byteCount, static_cast<size_t>(unit) - within);
      std::memcpy(out, bounce.data() + within, took);
    }
    out += took;
    byteOffset += took;
    byteCount -= took;
  }
  return kStatusOk;
}

Status CopyVolumeSectors(VolumeSectors& volume, uint64_t first, uint64_t sectors, std::vector<uint8_t>& buffer,
                         ICopySink& sink, uint64_t total, uint64_t* done, const CopyProgress& progress) {
  const uint32_t sectorSize = volume.SectorSize();
  if (sectorSize == 0 || buffer.size() < sectorSize) return kStatusInvalidParameter;
  if (!volume.Contains(first, sectors)) return kStatusReadFault;
  const auto piece = static_cast<uint32_t>(std::min<size_t>(buffer.size() / sectorSize, UINT32_MAX));
  for (uint64_t at = 0; at < sectors && *done < total;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(piece, sectors - at));
    if (Status s = volume.Read(first + at, count, buffer.data()); s != kStatusOk) return s;
    const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(count) * sectorSize, total - *done);
    if (Status s = sink.Write(buffer.data(), static_cast<size_t>(bytes)); s != kStatusOk) return s;
    *done += bytes;
    at += count;
    if (progress) {
      if (int32_t r = progress(*done, total); r != 0) return r;
    }
  }
  return kStatusOk;
}

}  // namespace engine
