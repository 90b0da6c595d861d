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

FileWindow::FileWindow(CarveContext& context, const uint8_t* first, size_t firstLength)
    : m_context(context), m_first(first), m_firstLength(first == nullptr ? 0 : firstLength) {
  const uint64_t end = context.EndSector();
  m_endKnown = end != 0;
  if (m_endKnown && end > context.hitSector) {
    m_available = (end - context.hitSector) * context.sectorSize;
  }
  m_available = std::max<uint64_t>(m_available, m_firstLength);
}

const uint8_t* FileWindow::Span(uint64_t offset, size_t maxCount, size_t* got) {
  *got = 0;
  if (offset >= m_available || maxCount == 0) return nullptr;
  maxCount = static_cast<size_t>(std::min<uint64_t>({maxCount, kMaxSpan, m_available - offset}));
  if (offset < m_firstLength && (offset + maxCount <= m_firstLength || m_context.reader == nullptr)) {
    *got = static_cast<size_t>(std::min<uint64_t>(maxCount, m_firstLength - offset));
    return m_first + offset;
  }
  if (offset < m_start || offset + maxCount > m_start + m_have) {
    const uint32_t sectorSize = m_context.sectorSize;
    if (!IsUsableSectorSize(sectorSize) || m_context.reader == nullptr) return nullptr;
    // Bytes the context holds in memory are handed out where they lie.
    if (const uint8_t* held = Resident(offset, maxCount)) {
      *got = maxCount;
      return held;
    }
    // Reload: whole sectors from the one holding offset, as many as the buffer takes.
    const uint64_t firstSector = offset / sectorSize;
    const uint32_t count = static_cast<uint32_t>(kWalkBufferBytes / sectorSize + 1);
    const uint32_t read =
        ReadContextSectors(m_context, m_context.hitSector + firstSector, count, m_context.walkBuffer.data());
    m_start = firstSector * sectorSize;
    m_have = static_cast<size_t>(read) * sectorSize;
  }
  if (offset < m_start || offset >= m_start + m_have) return nullptr;
  *got = static_cast<size_t>(std::min<uint64_t>(maxCount, m_start + m_have - offset));
  return m_context.walkBuffer.data() + (offset - m_start);
}

const uint8_t* FileWindow::Resident(uint64_t offset, size_t count) const {
  const uint8_t* bytes = m_context.resident;
  const uint32_t sectorSize = m_context.sectorSize;
  if (bytes == nullptr || m_context.hitSector < m_context.residentFirst) return nullptr;
  // File offsets from the resident sectors' first byte; none of it wraps, as
  // the resident sectors lie in memory.
  const uint64_t residentBytes = m_context.residentCount * sectorSize;
  const uint64_t before = m_context.hitSector - m_context.residentFirst;
  if (before >= m_context.residentCount) return nullptr;
  const uint64_t at = before * sectorSize;
  if (offset > residentBytes - at || count > residentBytes - at - offset) return nullptr;
  return bytes + at + offset;
}

const uint8_t* FileWindow::Get(uint64_t offset, size_t count) {
  if (count == 0 || count > kMaxSpan) return nullptr;
  size_t got = 0;
  const uint8_t* bytes = Span(offset, count, &got);
  return got == count ? bytes : nullptr;
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
