// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/progress.h"
#include "storage/sector_source.h"

namespace engine::signatures {

class MeasuredAhead;

// Sectors covered by a transport stream carved earlier in the scan (inclusive).
struct StreamExtent {
  uint64_t firstSector = 0;
  uint64_t lastSector = 0;
};

// Bytes of a context's read-ahead buffer: one read-ahead chunk.
inline constexpr size_t kWorkBufferBytes = 65536;
// Bytes of a context's structure-walk window.
inline constexpr size_t kWalkBufferBytes = 3 * 32768;
// Sector sizes the recognisers accept; others recognise nothing.
inline constexpr uint32_t kMinSectorSize = 32;
inline constexpr uint32_t kMaxSectorSize = 65536;
inline bool IsUsableSectorSize(uint32_t sectorSize) {
  return sectorSize >= kMinSectorSize && sectorSize <= kMaxSectorSize;
}

// Position of the whole scan at the moment of a hit, for the progress reports
// made during read-ahead.
struct CarveScanPosition {
  uint64_t sectorsDone = 0;
  uint64_t sectorsTotal = 0;
  int32_t remainingSeconds = -1;
  uint64_t filesFound = 0;
};

// The state of one carving scan, shared by the recognisers and size rules it
// runs: where the candidate lies, how to read around it, how to report
// progress during read-ahead, what the previous recognition left behind, and
// the scan's own buffers. The carving engine owns one per scan and passes it
// to every call; two scans (two contexts) never share state. A context is
// used by one thread at a time; nothing here is locked.
struct CarveContext {
  CarveContext();
  CarveContext(const CarveContext&) = delete;
  CarveContext& operator=(const CarveContext&) = delete;
  CarveContext(CarveContext&&) = default;
  CarveContext& operator=(CarveContext&&) = default;

  // Points the context at a source: reads go to reader (borrowed, may be
  // null: then nothing is read) in sectors of sectorSize bytes, and never at
  // or past volumeEnd, the first sector past the volume (0: the end of the
  // source). Keeps the stream state and the progress callback.
  void Attach(storage::SectorSource* source, uint32_t bytesPerSector, uint64_t volumeEnd = 0);
  // Sectors [first, first + count) of the reader that the caller holds in
  // memory, all read whole (borrowed until the next call; null: none). Reads
  // that lie in them are served from there instead of the reader.
  void SetResident(const uint8_t* bytes, uint64_t first, uint64_t count);
  // Stores the carving engine's progress callback (its SetProgressCallbacks).
  void SetProgressCallback(ScanProgressFn scanFn, void* user, int32_t barWeight);
  // Empties the list of carved transport-stream extents and clears the
  // stream flags and the text tail; called at the start of every
  // professional scan.
  void ClearStreamExtents();

  // First sector that may not be read: the volume's end or the source's,
  // whichever comes first (0 without a reader or with an unusable sector size).
  uint64_t EndSector() const;

  // The 64 KiB read-ahead buffer. Only the read-ahead loop writes it.
  uint8_t* WorkBuffer() { return workBuffer.data(); }
  // Scratch space for the reads recognisers and size rules make around a
  // candidate (transport-stream probes, compound-document sectors, the OOXML
  // window, structure walks), kept apart from the work buffer because
  // recognisers also run on sectors that lie inside it. Grows to the largest
  // size asked for and never shrinks; the pointer is valid until the next call.
  uint8_t* ProbeBuffer(size_t bytes);

  uint32_t sectorSize = 512;                // bytes per sector of the source
  storage::SectorSource* reader = nullptr;  // borrowed; every additional read goes here
  uint64_t volumeEnd = 0;                   // first sector past the volume; 0: the source's end
  uint64_t runEnd = 0;                      // first sector past the run being scanned (free space); 0: unknown
  uint64_t hitSector = 0;                   // absolute sector of the candidate
  uint64_t readPosition = 0;                // sector under examination (moves during read-ahead)

  // Progress during read-ahead, from the owning engine's SetProgressCallbacks.
  ScanProgressFn scanCallback = nullptr;
  void* userData = nullptr;
  int32_t weight = 0;
  CarveScanPosition position;  // of the whole scan at the moment of the hit (from the caller)
  int32_t callbackResult = 0;  // last non-zero callback answer during read-ahead, else 0

  // Describe the previous CarveSector while the next sector is recognised.
  bool streamStartCheck = false;  // transport-stream continuation checks enabled
  bool previousWasMts = false;    // the previous carve recognised mts
  // Set by a size rule whose file's structure stops before its own end (a
  // cut stream): the file is carved as far as it holds and is damaged.
  bool carvedDamaged = false;

  // The last sector the text recogniser looked at, and whether its last
  // bytes are text: the next sector's "does text run on into it" then needs
  // no read. Forgotten by Attach to another reader and by ClearStreamExtents.
  bool textTailKnown = false;
  bool textTailRunsOn = false;
  uint64_t textTailSector = 0;

  // SetResident's sectors.
  const uint8_t* resident = nullptr;
  uint64_t residentFirst = 0;
  uint64_t residentCount = 0;

  std::vector<StreamExtent> streamExtents;  // emptied by ClearStreamExtents()
  // Candidates other threads measured ahead of this scan (borrowed); null: none.
  MeasuredAhead* ahead = nullptr;

  std::vector<uint8_t> workBuffer;  // kWorkBufferBytes, from construction on
  std::vector<uint8_t> probeBuffer;
  std::vector<uint8_t> walkBuffer;  // the structure walks' window (FileWindow), from construction on
};

// Reads count sectors at startSector through the context's reader into
// buffer, clipped to the context's end sector; those of the resident sectors
// are copied from there. Returns the whole sectors that arrived (0 without a
// reader or with an unusable sector size).
uint32_t ReadContextSectors(CarveContext& context, uint64_t startSector, uint32_t count, uint8_t* buffer);

// Reads exactly byteCount bytes (at most 64 KiB) starting byteOffset bytes
// after the start of sector baseSector (whole covering sectors are read into
// the probe buffer). Returns a pointer to the bytes, valid until the next
// probe read, or null when any of them could not be read.
const uint8_t* ReadContextBytes(CarveContext& context, uint64_t baseSector, uint64_t byteOffset, size_t byteCount);

}  // namespace engine::signatures
