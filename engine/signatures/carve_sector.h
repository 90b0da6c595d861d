// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/signatures/carve_context.h"
#include "engine/signatures/file_type_code.h"
#include "engine/status.h"
#include "storage/sector_source.h"

namespace engine::signatures {

inline constexpr size_t kCarvedNameBytes = 260;

// A file found by CarveSector.
struct CarvedFile {
  std::array<char, kCarvedNameBytes> name{};  // "<absolute sector>.<extension>", zero-terminated
  FileTypeCode code = FileTypeCode::kNone;
  uint64_t size = 0;  // bytes, from the file's first byte
  bool damaged = false;  // its structure stops before its end: carved as far as it holds
  // The name and time the file's own metadata gives (carved_metadata.h):
  // "2025-07-14 18.22.05 Pixel 8 Pro.heic", zero-terminated; empty when it gives none.
  std::array<char, kCarvedNameBytes> metadataName{};
  int64_t unixSeconds = 0;  // the metadata's time, seconds since 1970, when hasTime
  bool hasTime = false;
};

// Decides whether a file of a known kind begins in `sector` (one sector of
// `length` bytes, found at absolute sector hitSector of the context's reader)
// and measures it, reading ahead through the context's reader as its size
// rule needs (never at or past the context's end sector). position describes
// the whole scan for the progress reports made during read-ahead.
// The carved file's own metadata names it (metadataName) and dates it.
// Returns 0 with *out filled when a file was carved; 87 when nothing was
// recognised, the kind is recognised but never carved (exe, dll, sys, gho),
// or the file's own structure puts its end past the size cap or the volume's
// end, *out untouched; -9527 when the progress callback asked to stop during
// read-ahead (*out is still filled). Updates the context's stream state.
// The context's thread only.
[[nodiscard]] Status CarveSector(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector,
                                 const CarveScanPosition& position, CarvedFile* out);

// What measuring a recognised candidate gave, worked out ahead of the scan
// by another thread: CarveSector's answer for it, and the text tail the
// measuring left in the context.
struct MeasuredCandidate {
  Status status = kStatusInvalidParameter;  // 0: *file was carved; 87: no such file here
  CarvedFile file;
  bool tailSet = false;  // the measuring looked at text: the context's text tail after it
  bool tailRunsOn = false;
  uint64_t tailSector = 0;
};

// What another thread found out about a sector ahead of the scan, but
// the measure: small, as it is asked for every sector.
struct SectorLook {
  enum class Verdict {
    kUnknown,   // nothing: the carver looks at the sector itself
    kNothing,   // no candidate starts there, whatever the scan carved before
    kMeasured,  // a candidate of kind code, measured
  };
  Verdict verdict = Verdict::kUnknown;
  // kNothing: whether the look at the sector's text sets the text tail, and to what.
  bool tailSet = false;
  bool tailRunsOn = false;
  // kMeasured: the kind, which a look with any stream state recognises (it is
  // no transport stream, and state only turns those down), the text tail the
  // look left at the sector (tailSet, tailRunsOn).
  FileTypeCode code = FileTypeCode::kNone;
};

// The look with its measure (kMeasured).
struct SectorAhead : SectorLook {
  MeasuredCandidate measured;
};

// Sectors looked at ahead of the scan. Recognition depends on what the scan
// carved before only through transport streams, which only ever turn a
// candidate down: a sector in which the most permissive look finds nothing
// holds nothing. A candidate's measure depends only on the medium, its
// sector, its kind and the run it lies in (for every kind but transport
// streams), so a measure made on another thread is the one CarveSector would
// make.
class MeasuredAhead {
 public:
  virtual ~MeasuredAhead() = default;
  // What is known of hitSector, looked at with the run ending at runEnd
  // (waiting for a look being made); with kMeasured, *measured points at
  // the measure, kept until the next Look.
  virtual SectorLook Look(uint64_t hitSector, uint64_t runEnd, const MeasuredCandidate** measured) = 0;
};

// True for kinds whose measure depends on nothing the scan carved before.
bool IsMeasurableAhead(FileTypeCode code);

// Looks at sector as CarveSector does, on a context of the thread's own (no
// progress reports: its callback may only ask to stop), and keeps what it
// found in *out: nothing, a measured candidate, or (a kind IsMeasurableAhead
// refuses, a stop asked for during read-ahead) kUnknown.
void LookAhead(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector, SectorAhead* out);

// Looks through the whole sectors of chunk (byteCount bytes, read ahead of a
// candidate) for the first one where another file or a file-system metadata
// sector begins (RecogniseNextStart: text is no start there); ignoreMpeg
// makes MPEG pack headers not count. Advances the
// context's readPosition by one for every sector examined. On a hit at the
// i-th sector adds i * sectorSize to *size and returns true.
bool FindNextFileStart(CarveContext& context, const uint8_t* chunk, size_t byteCount, uint64_t* size, bool ignoreMpeg);

// True when a sector holds NTFS or FAT metadata: an NTFS file record ("FILE"),
// index block ("INDX"), log restart page ("RSTR" naming NTFS) or "$STA..."
// (UTF-16), a FAT/NTFS/exFAT boot sector, or a FAT directory sector. False
// for sectors shorter than 32 bytes.
bool IsFileSystemMetadata(const uint8_t* sector, size_t sectorSize);

}  // namespace engine::signatures
