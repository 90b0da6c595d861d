// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/carve_context.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/status.h"

namespace engine::signatures {

CarveContext::CarveContext() : workBuffer(kWorkBufferBytes, 0), walkBuffer(kWalkBufferBytes + kMaxSectorSize, 0) {}

void CarveContext::Attach(storage::SectorSource* source, uint32_t bytesPerSector, uint64_t end) {
  if (source != reader || bytesPerSector != sectorSize) textTailKnown = false;
  reader = source;
  sectorSize = bytesPerSector;
  volumeEnd = end;
}

void CarveContext::SetResident(const uint8_t* bytes, uint64_t first, uint64_t count) {
  resident = count != 0 ? bytes : nullptr;
  residentFirst = first;
  residentCount = resident != nullptr ? count : 0;
}

void CarveContext::SetProgressCallback(ScanProgressFn scanFn, void* user, int32_t barWeight) {
  scanCallback = scanFn;
  userData = user;
  weight = barWeight;
}

void CarveContext::ClearStreamExtents() {
  streamExtents.clear();
  textTailKnown = false;
  streamStartCheck = false;
  previousWasMts = false;
}

uint64_t CarveContext::EndSector() const {
  if (reader == nullptr || !reader->IsOpen() || !IsUsableSectorSize(sectorSize)) return 0;
  // The source counts its own (device) sectors; the context reads in sectorSize units.
  uint64_t sourceBytes = 0;
  if (__builtin_mul_overflow(reader->totalSectors, uint64_t{reader->deviceSectorSize}, &sourceBytes)) {
    sourceBytes = std::numeric_limits<uint64_t>::max();
  }
  const uint64_t sourceEnd = sourceBytes / sectorSize;
  return volumeEnd == 0 ? sourceEnd : std::min(sourceEnd, volumeEnd);
}

uint8_t* CarveContext::ProbeBuffer(size_t bytes) {
  if (probeBuffer.size() < bytes) probeBuffer.resize(bytes);
  return probeBuffer.data();
}

uint32_t ReadContextSectors(CarveContext& context, uint64_t startSector, uint32_t count, uint8_t* buffer) {
  storage::SectorSource* reader = context.reader;
  if (reader == nullptr || buffer == nullptr || count == 0) return 0;
  // Clip to the end of the volume, so a file near the end still gets the
  // sectors that exist and nothing past the volume is ever read.
  const uint64_t end = context.EndSector();
  if (startSector >= end) return 0;
  count = static_cast<uint32_t>(std::min<uint64_t>(count, end - startSector));
  // Sectors held in memory already are not read again.
  uint32_t held = 0;
  if (context.resident != nullptr && startSector >= context.residentFirst &&
      startSector - context.residentFirst < context.residentCount) {
    const uint64_t from = startSector - context.residentFirst;
    held = static_cast<uint32_t>(std::min<uint64_t>(count, context.residentCount - from));
    std::memcpy(buffer, context.resident + from * context.sectorSize, size_t{held} * context.sectorSize);
    if (held == count) return count;
  }
  uint32_t sectorsRead = 0;
  // A short or failed read shows in sectorsRead; the caller decides by it.
  const Status status = storage::ReadSectors(count - held, *reader, buffer + size_t{held} * context.sectorSize,
                                             startSector + held, context.sectorSize, &sectorsRead);
  if (status != kStatusOk) return held + std::min(sectorsRead, count - held - 1);
  return count;
}

const uint8_t* ReadContextBytes(CarveContext& context, uint64_t baseSector, uint64_t byteOffset, size_t byteCount) {
  const uint32_t sectorSize = context.sectorSize;
  if (!IsUsableSectorSize(sectorSize) || byteCount == 0 || byteCount > kWorkBufferBytes) return nullptr;
  const uint64_t sectorOffset = byteOffset / sectorSize;
  if (sectorOffset > std::numeric_limits<uint64_t>::max() - baseSector) return nullptr;
  const size_t within = static_cast<size_t>(byteOffset % sectorSize);
  const uint32_t count = static_cast<uint32_t>((within + byteCount + sectorSize - 1) / sectorSize);
  uint8_t* buffer = context.ProbeBuffer(static_cast<size_t>(count) * sectorSize);
  if (ReadContextSectors(context, baseSector + sectorOffset, count, buffer) != count) return nullptr;
  return buffer + within;
}

}  // namespace engine::signatures
