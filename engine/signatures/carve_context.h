// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/progress.h"
#include "storage/sector_source.h"

namespace engine::signatures {

// Sectors covered by a transport stream carved earlier in the scan (inclusive).
struct StreamExtent {
  uint64_t firstSector = 0;
  uint64_t lastSector = 0;
};

// Bytes of the shared read-ahead buffer: one read-ahead chunk.
inline constexpr size_t kWorkBufferBytes = 65536;
// Sector sizes the recognisers accept; others recognise nothing.
inline constexpr uint32_t kMinSectorSize = 32;
inline constexpr uint32_t kMaxSectorSize = 65536;
inline bool IsUsableSectorSize(uint32_t sectorSize) {
  return sectorSize >= kMinSectorSize && sectorSize <= kMaxSectorSize;
}

// The state every recogniser and size rule shares: where the candidate lies,
// how to read around it, how to report progress during read-ahead, and what
// the previous recognition left behind. There is exactly one, for the whole
// process (TheCarveContext()); one carve or extension check runs at a time,
// on the scanning thread. Nothing here is locked.
struct CarveContext {
  uint32_t sectorSize = 512;                // bytes per sector of the source
  storage::SectorSource* reader = nullptr;  // borrowed; every additional read goes here
  uint64_t hitSector = 0;                   // absolute sector of the candidate
  uint64_t readPosition = 0;                // sector under examination (moves during read-ahead)

  // Progress during read-ahead, from the owning engine's SetProgressCallbacks.
  ScanProgressFn scanCallback = nullptr;
  void* userData = nullptr;
  int32_t weight = 0;
  // Position of the whole scan at the moment of the hit (from the caller).
  uint64_t sectorsDone = 0;
  uint64_t sectorsTotal = 0;
  int32_t remainingSeconds = -1;
  uint64_t filesFound = 0;
  int32_t callbackResult = 0;  // last non-zero callback answer during read-ahead, else 0

  // Describe the previous CarveSector while the next sector is recognised.
  bool streamStartCheck = false;  // transport-stream continuation checks enabled
  bool previousWasMts = false;    // the previous carve recognised mts

  std::vector<StreamExtent> streamExtents;  // emptied by ClearStreamExtents()

  // The 64 KiB read-ahead buffer (allocated on demand, released with the
  // last CarveWorkBufferLease). Only the read-ahead loop writes it.
  uint8_t* WorkBuffer();
  // Scratch space for the reads recognisers make around a candidate
  // (transport-stream probes, compound-document sectors, the OOXML window),
  // kept apart from the work buffer because recognisers also run on sectors
  // that lie inside it. Grows to the largest size asked for, never shrinks
  // while a lease is held. The pointer is valid until the next call.
  uint8_t* ProbeBuffer(size_t bytes);

  std::vector<uint8_t> workBuffer;
  std::vector<uint8_t> probeBuffer;
  int32_t leaseCount = 0;
};

// The process-wide context.
CarveContext& TheCarveContext();

// Held by every recovery engine for its lifetime (the constructors take one):
// the work buffer exists from the first lease to the end of the last one.
// Scanning thread only.
class CarveWorkBufferLease {
 public:
  CarveWorkBufferLease();
  ~CarveWorkBufferLease();
  CarveWorkBufferLease(const CarveWorkBufferLease&) = delete;
  CarveWorkBufferLease& operator=(const CarveWorkBufferLease&) = delete;
};

// Stores an engine's progress callback in the context (its SetProgressCallbacks).
void SetCarveProgressCallback(ScanProgressFn scanFn, void* userData, int32_t weight);

// Empties the list of carved transport-stream extents; called at the start of
// every professional scan.
void ClearStreamExtents();

// Reads count sectors at startSector from the context's reader into buffer,
// clipped to the end of the source. Returns the whole sectors that arrived
// (0 without a reader or with an unusable sector size).
uint32_t ReadContextSectors(uint64_t startSector, uint32_t count, uint8_t* buffer);

// Reads exactly byteCount bytes starting byteOffset bytes after the start of
// sector baseSector (whole covering sectors are read into the probe buffer).
// Returns a pointer to the bytes, or null when any of them could not be read.
const uint8_t* ReadContextBytes(uint64_t baseSector, uint64_t byteOffset, size_t byteCount);

}  // namespace engine::signatures
