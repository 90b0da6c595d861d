// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/carve_context.h"

#include <algorithm>
#include <limits>

namespace engine::signatures {

CarveContext& TheCarveContext() {
  static CarveContext context;
  return context;
}

uint8_t* CarveContext::WorkBuffer() {
  if (workBuffer.size() != kWorkBufferBytes) workBuffer.assign(kWorkBufferBytes, 0);
  return workBuffer.data();
}

uint8_t* CarveContext::ProbeBuffer(size_t bytes) {
  if (probeBuffer.size() < bytes) probeBuffer.resize(bytes);
  return probeBuffer.data();
}

CarveWorkBufferLease::CarveWorkBufferLease() {
  CarveContext& context = TheCarveContext();
  if (context.leaseCount++ == 0) context.WorkBuffer();
}

CarveWorkBufferLease::~CarveWorkBufferLease() {
  CarveContext& context = TheCarveContext();
  if (--context.leaseCount == 0) {
    std::vector<uint8_t>().swap(context.workBuffer);
    std::vector<uint8_t>().swap(context.probeBuffer);
  }
}

void SetCarveProgressCallback(ScanProgressFn scanFn, void* userData, int32_t weight) {
  CarveContext& context = TheCarveContext();
  context.scanCallback = scanFn;
  context.userData = userData;
  context.weight = weight;
}

void ClearStreamExtents() {
  TheCarveContext().streamExtents.clear();
}

uint32_t ReadContextSectors(uint64_t startSector, uint32_t count, uint8_t* buffer) {
  CarveContext& context = TheCarveContext();
  storage::SectorSource* reader = context.reader;
  if (reader == nullptr || !reader->IsOpen() || count == 0 || !IsUsableSectorSize(context.sectorSize)) return 0;
  // Clip to the end of the source, so a file near the end still gets the
  // sectors that exist.
  if (startSector >= reader->totalSectors) return 0;
  count = static_cast<uint32_t>(std::min<uint64_t>(count, reader->totalSectors - startSector));
  uint32_t sectorsRead = 0;
  (void)storage::ReadSectors(count, *reader, buffer, startSector, context.sectorSize, &sectorsRead);
  return std::min(sectorsRead, count);
}

const uint8_t* ReadContextBytes(uint64_t baseSector, uint64_t byteOffset, size_t byteCount) {
  CarveContext& context = TheCarveContext();
  const uint32_t sectorSize = context.sectorSize;
  if (!IsUsableSectorSize(sectorSize) || byteCount == 0 || byteCount > kWorkBufferBytes) return nullptr;
  const uint64_t sectorOffset = byteOffset / sectorSize;
  if (sectorOffset > std::numeric_limits<uint64_t>::max() - baseSector) return nullptr;
  const size_t within = static_cast<size_t>(byteOffset % sectorSize);
  const uint32_t count = static_cast<uint32_t>((within + byteCount + sectorSize - 1) / sectorSize);
  uint8_t* buffer = context.ProbeBuffer(static_cast<size_t>(count) * sectorSize);
  if (ReadContextSectors(baseSector + sectorOffset, count, buffer) != count) return nullptr;
  return buffer + within;
}

}  // namespace engine::signatures
