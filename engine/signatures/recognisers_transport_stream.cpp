// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG transport streams (188-byte packets, each starting with the sync byte 0x47).
#include "engine/byte_view.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

constexpr size_t kPacketBytes = 188;
constexpr uint8_t kSyncByte = 0x47;
// The first 4 KiB after the candidate must hold 22 packets in a row.
constexpr size_t kProbeBytes = 4096;
constexpr size_t kProbePackets = 22;
// M2TS: 192-byte packets, the sync byte after a 4-byte time code.
constexpr size_t kM2tsPacketBytes = 192;
constexpr size_t kM2tsSync = 4;
constexpr size_t kM2tsProbePackets = 21;

bool InsideCarvedStream(const CarveContext& context, uint64_t sector) {
  for (const StreamExtent& extent : context.streamExtents) {
    if (extent.firstSector <= sector && sector <= extent.lastSector) return true;
  }
  return false;
}

C RecogniseTs(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < kPacketBytes || b.U8(0) != kSyncByte) return C::kNone;
  if (b.U8(1) == 0 && b.U8(2) == 0 && b.U8(3) == 0) return C::kNone;
  for (size_t i = 0; i <= length / kPacketBytes; ++i) {
    const size_t at = i * kPacketBytes;
    if (at < length && b.U8(at) != kSyncByte) return C::kNone;
  }
  const uint64_t position = context.readPosition;
  const uint8_t* probe = ReadContextBytes(context, position, 0, kProbeBytes);
  if (probe == nullptr) return C::kNone;
  for (size_t i = 0; i < kProbePackets; ++i) {
    if (probe[i * kPacketBytes] != kSyncByte) return C::kNone;
  }
  if (context.streamStartCheck) {
    // A sector whose predecessor ends in whole packets continues that stream.
    // Sector 0 has no predecessor.
    if (position > 0) {
      const uint32_t sectorSize = context.sectorSize;
      const uint8_t* previous = ReadContextBytes(context, position - 1, 0, sectorSize);
      if (previous == nullptr) return C::kNone;
      for (size_t k = 1; k <= sectorSize / kPacketBytes; ++k) {
        if (previous[sectorSize - kPacketBytes * k] == kSyncByte) return C::kNone;
      }
    }
    if (InsideCarvedStream(context, position)) return C::kNone;
  }
  return C::kTs;
}

}  // namespace

const Recogniser kTsRecogniser{RecogniseTs, {{{0, kSyncByte}}}, 1};

bool StartsM2tsStream(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < kM2tsPacketBytes + kM2tsSync + 1) return false;
  // The first packet starts a section or a payload.
  if ((b.U8(kM2tsSync + 1) & 0x40) == 0) return false;
  for (size_t at = kM2tsSync; at < length; at += kM2tsPacketBytes) {
    if (b.U8(at) != kSyncByte) return false;
  }
  const uint64_t position = context.readPosition;
  const uint8_t* probe = ReadContextBytes(context, position, 0, kProbeBytes);
  if (probe == nullptr) return false;
  for (size_t i = 0; i < kM2tsProbePackets; ++i) {
    if (probe[kM2tsSync + i * kM2tsPacketBytes] != kSyncByte) return false;
  }
  if (context.streamStartCheck) {
    if (position > 0) {
      const uint32_t sectorSize = context.sectorSize;
      const uint8_t* previous = ReadContextBytes(context, position - 1, 0, sectorSize);
      if (previous == nullptr) return false;
      for (size_t back = kM2tsPacketBytes; back <= sectorSize + kM2tsSync - 1; back += kM2tsPacketBytes) {
        if (previous[sectorSize + kM2tsSync - back] == kSyncByte) return false;
      }
    }
    if (InsideCarvedStream(context, position)) return false;
  }
  return true;
}

uint64_t MtsSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  FileWindow window(context, bytes, length);
  uint64_t size = 0;
  while (size + kM2tsPacketBytes <= k6GiB) {
    const uint8_t* sync = window.Get(size + kM2tsSync, 1);
    if (sync == nullptr || *sync != kSyncByte || window.Get(size + kM2tsPacketBytes - 1, 1) == nullptr) break;
    size += kM2tsPacketBytes;
  }
  if (size == 0) return ReadAheadToNextStart(context, k6GiB);
  const uint32_t sectorSize = context.sectorSize;
  const uint64_t sectors = (size + sectorSize - 1) / sectorSize;
  context.streamExtents.push_back({context.hitSector, context.hitSector + sectors - 1});
  return size;
}

uint64_t TsSize(CarveContext& context, const uint8_t*, size_t) {
  const uint32_t sectorSize = context.sectorSize;
  // Packets wholly inside the candidate sector were checked by the recogniser.
  uint64_t streamEnd = sectorSize - sectorSize % kPacketBytes;
  uint64_t nextPacket = streamEnd;  // file offset of the next packet to look at
  bool broken = false;
  uint64_t size = ReadAhead(context, k64GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    if (nextPacket < base) {  // the packet that crossed into this chunk
      streamEnd += kPacketBytes;
      nextPacket += kPacketBytes;
    }
    while (nextPacket >= base && nextPacket + kPacketBytes <= base + chunkBytes) {
      if (chunk[nextPacket - base] != kSyncByte) {
        broken = true;
        break;
      }
      streamEnd += kPacketBytes;
      nextPacket += kPacketBytes;
    }
    // Once the packets stop, later chunks cannot change the result.
    return broken ? ChunkVerdict::EndAfterChunk() : ChunkVerdict::GoOn();
  });
  if (streamEnd != 0 && streamEnd < size) size = streamEnd;
  const uint64_t sectors = (size + sectorSize - 1) / sectorSize;
  if (sectors > 0) context.streamExtents.push_back({context.hitSector, context.hitSector + sectors - 1});
  return size;
}

}  // namespace engine::signatures
