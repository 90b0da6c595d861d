// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/copy_sink.h"
#include "engine/status.h"
#include "storage/sector_source.h"

namespace engine {

// The sectors of one volume on a sector source, for the engines that the
// deep scan feeds sector by sector. The source is either owned (opened by the
// engine itself) or borrowed from the caller that feeds the engine (the
// coordinator, a test), so that several engines read one source; a borrowed
// source must outlive this object. Sector numbers are absolute and count
// sectors of the source's own unit (512 bytes for image files and memory
// sources, the logical sector size for disks). No read reaches a sector at or
// past the volume's end. One thread at a time.
class VolumeSectors {
 public:
  VolumeSectors() = default;
  VolumeSectors(const VolumeSectors&) = delete;
  VolumeSectors& operator=(const VolumeSectors&) = delete;

  // Takes source; the volume starts at startSector and holds sectorCount
  // sectors (0: up to the source's end), clipped to what the source holds.
  // sectorSize is the unit of the source's sector numbers.
  void Own(storage::SectorSource source, uint32_t sectorSize, uint64_t startSector, uint64_t sectorCount);
  // The same over a source the caller keeps.
  void Borrow(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector, uint64_t sectorCount);
  void Close();

  bool IsOpen() const { return m_source != nullptr && m_source->IsOpen(); }
  // The source reads go to (null when closed); borrowed or owned.
  storage::SectorSource* Source() const { return m_source; }
  uint32_t SectorSize() const { return m_sectorSize; }
  uint64_t StartSector() const { return m_startSector; }
  uint64_t SectorCount() const { return m_sectorCount; }
  // First sector past the volume.
  uint64_t EndSector() const { return m_startSector + m_sectorCount; }
  // True when [sector, sector + count) lies wholly inside the volume.
  bool Contains(uint64_t sector, uint64_t count) const;

  // Reads count sectors at absolute sector into buffer (count * SectorSize()
  // bytes). 87 when the run does not lie wholly inside the volume (nothing
  // is read); 30 when the source returns fewer sectors; the source's error
  // otherwise. *sectorsRead (optional) receives the whole sectors that arrived.
  [[nodiscard]] Status Read(uint64_t sector, uint32_t count, uint8_t* buffer, uint32_t* sectorsRead = nullptr);
  // Reads byteCount bytes at byteOffset from the source's start (any
  // alignment): all of them or Read's error (87 when any lies outside the volume).
  [[nodiscard]] Status ReadBytes(uint64_t byteOffset, void* buffer, size_t byteCount);

 private:
  void Clip();

  storage::SectorSource m_owned;
  storage::SectorSource* m_source = nullptr;
  uint32_t m_sectorSize = 512;
  uint64_t m_startSector = 0;
  uint64_t m_sectorCount = 0;
};

// Reads byteCount bytes at byteOffset of source (sectors of sectorSize
// bytes; any alignment): all of them, or ReadSectors' error.
[[nodiscard]] Status ReadSourceBytes(storage::SectorSource& source, uint32_t sectorSize, uint64_t byteOffset,
                                     void* buffer, size_t byteCount);

// Copies sectors sectors from absolute sector first of volume to sink, in
// pieces of buffer's size (at least one sector), up to total bytes of the
// whole copy: *done (bytes copied so far, also by earlier calls) grows by
// what was written, and progress hears of every piece. 30 when the run does
// not lie wholly inside the volume (nothing is read: never a neighbour's
// bytes); a read's or the sink's error; the progress callback's answer.
[[nodiscard]] Status CopyVolumeSectors(VolumeSectors& volume, uint64_t first, uint64_t sectors,
                                       std::vector<uint8_t>& buffer, ICopySink& sink, uint64_t total, uint64_t* done,
                                       const CopyProgress& progress);

}  // namespace engine
