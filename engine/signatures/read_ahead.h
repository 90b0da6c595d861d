// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/byte_view.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"

// The read-ahead loop the size rules measure files with. It reads the sectors
// after the candidate in chunks of up to 64 KiB into the context's work
// buffer, reports progress once per chunk, stops at the next recognised file
// start or metadata sector, and hands every chunk to the rule's own
// terminator test. Scanning thread only.
namespace engine::signatures {

// What a rule's terminator test says about one chunk.
struct ChunkVerdict {
  enum class Kind {
    kGoOn,           // nothing decided
    kEndAfterChunk,  // nothing more to learn: finish this chunk as usual, then stop
    kEndWithSize,    // the rule ends at once with `size`
  };
  Kind kind = Kind::kGoOn;
  uint64_t size = 0;

  static ChunkVerdict GoOn() { return {}; }
  static ChunkVerdict EndAfterChunk() { return {Kind::kEndAfterChunk, 0}; }
  static ChunkVerdict EndWithSize(uint64_t size) { return {Kind::kEndWithSize, size}; }
};

// A terminator ending at endOffset of chunk qualifies when every byte from
// there to the end of the sector holding that end is zero (an end exactly on
// a sector boundary qualifies). Bytes past chunkBytes count as absent.
bool TerminatorQualifies(const uint8_t* chunk, size_t chunkBytes, size_t endOffset, uint32_t sectorSize);

// Offset of the first occurrence of pattern whose end qualifies, or kNotFound.
size_t FindFirstQualifying(const uint8_t* chunk, size_t chunkBytes, const void* pattern, size_t patternLength,
                           uint32_t sectorSize);

// Reports read-ahead progress (sectorsReadAhead sectors read for this file so
// far). False when the callback answered non-zero; the answer is then kept in
// the context's callbackResult.
bool ReportReadAheadProgress(CarveContext& context, uint64_t sectorsReadAhead);

// Runs the loop with a limit of limitBytes (limitBytes / sectorSize sectors
// may be read ahead). onChunk(chunk, chunkBytes, base) sees every examined
// chunk up to the next file start in it (bytes after that start belong to
// the other file); base is the chunk's first byte counted from the file's
// first byte. Returns the size attributed to the file: the bytes up to the
// next start, the end of the data read, or what onChunk ended it with.
// With stopAtNextStart false the loop reads on past next starts (onChunk
// then sees whole chunks) until onChunk ends it or the limit; *firstStart
// (when given) receives the size up to the first next start met, or the
// size of all data read when none was.
template <typename OnChunk>
uint64_t ReadAhead(CarveContext& context, uint64_t limitBytes, bool ignoreMpeg, OnChunk&& onChunk,
                   bool stopAtNextStart = true, uint64_t* firstStart = nullptr) {
  const uint32_t sectorSize = context.sectorSize;
  if (!IsUsableSectorSize(sectorSize)) return 0;
  const uint64_t maxSectors = limitBytes / sectorSize;
  const uint32_t sectorsPerChunk = static_cast<uint32_t>(kWorkBufferBytes / sectorSize);
  uint8_t* buffer = context.WorkBuffer();
  uint64_t size = sectorSize;
  uint64_t base = sectorSize;
  uint64_t readAhead = 0;
  bool startSeen = false;
  while (readAhead < maxSectors) {
    const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(sectorsPerChunk, maxSectors - readAhead));
    const uint32_t got = ReadContextSectors(context, context.hitSector + 1 + readAhead, wanted, buffer);
    if (got == 0) break;
    readAhead += got;
    if (!ReportReadAheadProgress(context, readAhead)) break;
    const size_t chunkBytes = static_cast<size_t>(got) * sectorSize;
    uint64_t startAt = size;
    const bool hit = !startSeen && FindNextFileStart(context, buffer, chunkBytes, &startAt, ignoreMpeg);
    if (hit && !stopAtNextStart) {
      startSeen = true;
      if (firstStart != nullptr) *firstStart = startAt;
    }
    const size_t examined = hit && stopAtNextStart ? static_cast<size_t>(startAt - base) : chunkBytes;
    const ChunkVerdict verdict = onChunk(static_cast<const uint8_t*>(buffer), examined, base);
    if (verdict.kind == ChunkVerdict::Kind::kEndWithSize) return verdict.size;
    if (hit && stopAtNextStart) return startAt;
    size += chunkBytes;
    base += chunkBytes;
    // A short read means the source ended or failed there.
    if (verdict.kind == ChunkVerdict::Kind::kEndAfterChunk || got < wanted) break;
  }
  if (firstStart != nullptr && !startSeen) *firstStart = size;
  return size;
}

// A candidate file's bytes by offset from its first byte: the candidate
// sector itself, then windows of the source read through the context's
// walk buffer, never at or past the context's end sector. Structure walks
// read through it; every answer is bounds-checked. The context's thread only.
class FileWindow {
 public:
  FileWindow(CarveContext& context, const uint8_t* first, size_t firstLength);

  // The bytes [offset, offset + count) (count at most kMaxSpan), or null
  // when any of them lies past the end or cannot be read. Valid until the
  // next call.
  const uint8_t* Get(uint64_t offset, size_t count);
  // Up to maxCount bytes from offset (at least one unless null), for
  // sequential scans; *got receives how many.
  const uint8_t* Span(uint64_t offset, size_t maxCount, size_t* got);
  // Bytes from the file's first byte to the context's end sector; the
  // candidate's length when the context has no reader.
  uint64_t Available() const { return m_available; }
  // True when the end of the volume is known (the context has a reader).
  bool EndKnown() const { return m_endKnown; }

  static constexpr size_t kMaxSpan = 32768;

 private:
  // The count bytes at offset where the context holds them in memory; null
  // when it does not hold all of them.
  const uint8_t* Resident(uint64_t offset, size_t count) const;

  CarveContext& m_context;
  const uint8_t* m_first;
  size_t m_firstLength;
  uint64_t m_available = 0;
  bool m_endKnown = false;
  uint64_t m_start = 0;  // file offset of the window
  size_t m_have = 0;     // valid bytes in the window
};

// A size rule's answer when the file's own structure shows there is no such
// file here after all (a length past the rule's cap or past the volume's
// end): CarveSector then reports nothing carved.
inline constexpr uint64_t kRejectHit = UINT64_MAX;

// end when it lies within cap and within the volume, else kRejectHit.
inline uint64_t EndWithin(const FileWindow& window, uint64_t end, uint64_t cap) {
  if (end > cap || (window.EndKnown() && end > window.Available())) return kRejectHit;
  return end;
}

// The bytes that hold a header directory of `needed` bytes (icon, font): the
// candidate sector when it is long enough, else 64 KiB read at the hit
// sector. An empty view when neither holds it or the read fails.
ByteView CandidateDirectory(CarveContext& context, const uint8_t* bytes, size_t length, size_t needed);

// The read-ahead with no terminator test.
uint64_t ReadAheadToNextStart(CarveContext& context, uint64_t limitBytes, bool ignoreMpeg = false);

}  // namespace engine::signatures
