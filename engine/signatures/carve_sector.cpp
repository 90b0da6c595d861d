// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/carve_sector.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/byte_view.h"
#include "engine/fat_dir_entry.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/carved_metadata.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/read_ahead.h"
#include "platform/utf.h"

namespace engine::signatures {
namespace {

// OEM names of the boot sectors that end a carved file.
constexpr const char* kBootOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ", "EXFAT   "};
constexpr uint8_t kUtf16Ntfs[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
constexpr uint8_t kUtf16Sta[] = {'$', 0, 'S', 0, 'T', 0, 'A', 0};

// Names and dates the carved file by its own metadata, when it has some.
void DescribeCarvedFile(CarveContext& context, const uint8_t* sector, size_t length, std::string_view extension,
                        CarvedFile* file) {
  FileWindow window(context, sector, length);
  CarvedMetadata metadata;
  if (!ReadCarvedMetadata(window, file->code, file->size, &metadata)) return;
  const std::string name = MetadataName(metadata);
  if (name.empty()) return;
  std::snprintf(file->metadataName.data(), file->metadataName.size(), "%.*s.%.*s",
                static_cast<int>(platform::Utf8BoundaryAtOrBefore(name, file->metadataName.size() - 40)), name.data(),
                static_cast<int>(extension.size()), extension.data());
  file->unixSeconds = metadata.unixSeconds;
  file->hasTime = metadata.hasTime;
}

}  // namespace

bool IsFileSystemMetadata(const uint8_t* sector, size_t sectorSize) {
  if (sector == nullptr || sectorSize < kMinSectorSize) return false;
  const ByteView view(sector, sectorSize);
  if (view.Equals(0, "FILE", 4) || view.Equals(0, "INDX", 4)) return true;
  if (view.Equals(0, "RSTR", 4) && ForwardSearch(sector, sectorSize, kUtf16Ntfs, sizeof kUtf16Ntfs) != nullptr) {
    return true;
  }
  if (view.Equals(0, kUtf16Sta, sizeof kUtf16Sta)) return true;
  if (sector[0] == 0xEB && sector[2] == 0x90) {
    for (const char* oem : kBootOemNames) {
      if (view.Equals(3, oem, 8)) return true;
    }
  }
  return IsDirectorySector(sector, sectorSize);
}

bool FindNextFileStart(CarveContext& context, const uint8_t* chunk, size_t byteCount, uint64_t* size, bool ignoreMpeg) {
  const uint32_t sectorSize = context.sectorSize;
  if (chunk == nullptr || !IsUsableSectorSize(sectorSize)) return false;
  const size_t sectors = byteCount / sectorSize;
  for (size_t i = 0; i < sectors; ++i) {
    const uint8_t* sector = chunk + i * sectorSize;
    context.readPosition += 1;
    const FileTypeCode code = RecogniseNextStart(context, sector, sectorSize).code;
    const bool start = code != FileTypeCode::kNone && !(ignoreMpeg && code == FileTypeCode::kMpeg);
    if (start || IsFileSystemMetadata(sector, sectorSize)) {
      if (size != nullptr) *size += static_cast<uint64_t>(i) * sectorSize;
      return true;
    }
  }
  return false;
}

namespace {

// The measure of a recognised candidate: its size by its kind's rule, then
// its own metadata's name and time.
Status Measure(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector, FileTypeCode code,
               const FileSignatureRow& row, CarvedFile* out) {
  CarvedFile result;
  result.code = code;
  std::snprintf(result.name.data(), result.name.size(), "%lld.%.*s", static_cast<long long>(hitSector),
                static_cast<int>(row.extension.size()), row.extension.data());
  context.callbackResult = 0;
  context.carvedDamaged = false;
  result.size = row.sizeRule(context, sector, length);
  result.damaged = context.carvedDamaged;
  // The file's own structure put its end past the cap or the volume: no such file here.
  if (result.size == kRejectHit)
    return context.callbackResult == kStatusCancelled ? kStatusCancelled : kStatusInvalidParameter;
  if (context.callbackResult != kStatusCancelled) DescribeCarvedFile(context, sector, length, row.extension, &result);
  *out = result;
  return context.callbackResult == kStatusCancelled ? kStatusCancelled : kStatusOk;
}

// Recognises the candidate in sector and sets the context's stream state as
// a carve of it does; the row that names and measures it, or null.
const FileSignatureRow* Recognise(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector,
                                  FileTypeCode* code) {
  context.hitSector = hitSector;
  context.readPosition = hitSector;
  const Recognition found = RecogniseSector(context, sector, length);
  context.streamStartCheck = true;
  context.previousWasMts = false;
  *code = found.code;
  if (found.code == FileTypeCode::kNone) return nullptr;
  const auto table = FileSignatureTable();
  const int32_t namingRow = FirstRowOfCode(found.code);
  if (table[static_cast<size_t>(found.row)].sizeRule == nullptr || namingRow < 0 ||
      table[static_cast<size_t>(namingRow)].sizeRule == nullptr) {
    return nullptr;
  }
  if (found.code != FileTypeCode::kTs) context.streamStartCheck = false;
  if (found.code == FileTypeCode::kMts) context.previousWasMts = true;
  return &table[static_cast<size_t>(namingRow)];
}

}  // namespace

bool IsMeasurableAhead(FileTypeCode code) {
  return code != FileTypeCode::kNone && code != FileTypeCode::kTs && code != FileTypeCode::kMts;
}

void LookAhead(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector, SectorAhead* out) {
  // The measure is set only where one is made: most sectors hold no candidate.
  static_cast<SectorLook&>(*out) = SectorLook{};
  if (sector == nullptr || !IsUsableSectorSize(context.sectorSize)) return;
  context.position = CarveScanPosition{};
  // The most permissive look: no stream carved before turns a candidate down.
  context.streamStartCheck = false;
  context.previousWasMts = false;
  const uint64_t tailBefore = context.textTailKnown ? context.textTailSector : UINT64_MAX;
  FileTypeCode code = FileTypeCode::kNone;
  const FileSignatureRow* row = Recognise(context, sector, length, hitSector, &code);
  out->tailSet = context.textTailKnown && context.textTailSector == hitSector && tailBefore != hitSector;
  out->tailRunsOn = context.textTailRunsOn;
  if (code == FileTypeCode::kNone) {
    out->verdict = SectorLook::Verdict::kNothing;
    return;
  }
  if (row == nullptr || !IsMeasurableAhead(code)) {
    out->tailSet = false;
    return;
  }
  // What the measuring leaves of the text tail is kept apart from what was known before it.
  context.textTailKnown = false;
  out->measured = MeasuredCandidate{};
  const Status status = Measure(context, sector, length, hitSector, code, *row, &out->measured.file);
  if (status == kStatusCancelled) {
    out->tailSet = false;
    return;
  }
  out->verdict = SectorLook::Verdict::kMeasured;
  out->code = code;
  out->measured.status = status;
  out->measured.tailSet = context.textTailKnown;
  out->measured.tailRunsOn = context.textTailRunsOn;
  out->measured.tailSector = context.textTailSector;
}

Status CarveSector(CarveContext& context, const uint8_t* sector, size_t length, uint64_t hitSector,
                   const CarveScanPosition& position, CarvedFile* out) {
  if (sector == nullptr || out == nullptr || !IsUsableSectorSize(context.sectorSize)) return kStatusInvalidParameter;
  context.position = position;
  SectorLook ahead;
  const MeasuredCandidate* measured = nullptr;  // not one made here: this is asked for every sector
  if (context.ahead != nullptr) ahead = context.ahead->Look(hitSector, context.runEnd, &measured);
  if (ahead.verdict != SectorLook::Verdict::kUnknown) {
    // The context as the look at the sector leaves it.
    context.hitSector = hitSector;
    context.readPosition = hitSector;
    context.streamStartCheck = ahead.code == FileTypeCode::kNone || ahead.code == FileTypeCode::kTs;
    context.previousWasMts = ahead.code == FileTypeCode::kMts;
    if (ahead.tailSet) {
      context.textTailKnown = true;
      context.textTailSector = hitSector;
      context.textTailRunsOn = ahead.tailRunsOn;
    }
  }
  if (ahead.verdict == SectorLook::Verdict::kNothing) return kStatusInvalidParameter;
  if (ahead.verdict == SectorLook::Verdict::kMeasured && measured != nullptr) {
    const MeasuredCandidate& m = *measured;
    if (m.tailSet) {
      context.textTailKnown = true;
      context.textTailRunsOn = m.tailRunsOn;
      context.textTailSector = m.tailSector;
    }
    if (m.status == kStatusOk) *out = m.file;
    return m.status;
  }
  FileTypeCode code = FileTypeCode::kNone;
  const FileSignatureRow* row = Recognise(context, sector, length, hitSector, &code);
  if (row == nullptr) return kStatusInvalidParameter;
  return Measure(context, sector, length, hitSector, code, *row, out);
}

}  // namespace engine::signatures
