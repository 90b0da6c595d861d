// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/read_ahead.h"

#include "engine/signatures/byte_search.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {

bool TerminatorQualifies(const uint8_t* chunk, size_t chunkBytes, size_t endOffset, uint32_t sectorSize) {
  if (sectorSize == 0 || endOffset > chunkBytes) return false;
  if (endOffset % sectorSize == 0) return true;
  const size_t sectorEnd = std::min(chunkBytes, (endOffset / sectorSize + 1) * sectorSize);
  for (size_t i = endOffset; i < sectorEnd; ++i) {
    if (chunk[i] != 0) return false;
  }
  return true;
}

size_t FindFirstQualifying(const uint8_t* chunk, size_t chunkBytes, const void* pattern, size_t patternLength,
                           uint32_t sectorSize) {
  for (size_t at = FindFrom(chunk, chunkBytes, 0, pattern, patternLength); at != kNotFound;
       at = FindFrom(chunk, chunkBytes, at + 1, pattern, patternLength)) {
    if (TerminatorQualifies(chunk, chunkBytes, at + patternLength, sectorSize)) return at;
  }
  return kNotFound;
}

bool ReportReadAheadProgress(CarveContext& context, uint64_t sectorsReadAhead) {
  if (context.scanCallback == nullptr) return true;
  const uint64_t done = context.position.sectorsDone + sectorsReadAhead;
  // The raw scan fills the bar from its first tenth on; an unknown total
  // (0) cannot be divided by and shows the start of that range.
  const uint64_t percent = context.position.sectorsTotal == 0 ? 10 : done * 100 / context.position.sectorsTotal + 10;
  const int32_t answer = context.scanCallback(
      context.userData, static_cast<int32_t>(std::min<uint64_t>(percent, INT32_MAX)), context.weight,
      context.position.remainingSeconds, done, context.position.sectorsTotal, context.position.filesFound, 0);
  if (answer == 0) return true;
  context.callbackResult = answer;
  return false;
}

ByteView CandidateDirectory(CarveContext& context, const uint8_t* bytes, size_t length, size_t needed) {
  if (needed <= length) return {bytes, length};
  if (needed > kWorkBufferBytes) return {};
  const uint8_t* read = ReadContextBytes(context, context.hitSector, 0, kWorkBufferBytes);
  return read == nullptr ? ByteView() : ByteView(read, kWorkBufferBytes);
}

uint64_t ReadAheadToNextStart(CarveContext& context, uint64_t limitBytes, bool ignoreMpeg) {
  return ReadAhead(context, limitBytes, ignoreMpeg,
                   [](const uint8_t*, size_t, uint64_t) { return ChunkVerdict::GoOn(); });
}

uint64_t NextStartWithin128MiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k128MiB);
}
uint64_t NextStartWithin256MiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k256MiB);
}
uint64_t NextStartWithin2GiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k2GiB);
}
uint64_t NextStartWithin4GiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k4GiB);
}
uint64_t NextStartWithin6GiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k6GiB);
}
uint64_t NextStartWithin64GiB(CarveContext& context, const uint8_t*, size_t) {
  return ReadAheadToNextStart(context, k64GiB);
}

}  // namespace engine::signatures
