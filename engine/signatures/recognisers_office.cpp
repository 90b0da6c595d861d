// SPDX-License-Identifier: GPL-3.0-or-later
// Office documents: compound documents (doc, xls, ppt, other OLE files),
// OOXML packages (docx, xlsx, pptx) and pdf.
#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/signatures/byte_search.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

// --- Compound document header (little-endian):
//   0 magic D0 CF 11 E0 A1 B1 1A E1   0x1E sector shift (9: 512-byte sectors, 12: 4096)
//   0x2C FAT sector count   0x30 first directory sector   0x40 mini-FAT sector count
//   0x44 first DIFAT sector   0x48 DIFAT sector count   0x4C the first 109 FAT sector numbers
// Compound sector s starts (s + 1) sectors after the file's start.
constexpr uint8_t kCompoundMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderBytes = 512;
constexpr size_t kSectorShift = 0x1E;
constexpr size_t kFatSectorCount = 0x2C;
constexpr size_t kFirstDirectorySector = 0x30;
constexpr size_t kMiniFatSectorCount = 0x40;
constexpr size_t kFirstDifatSector = 0x44;
constexpr size_t kDifatSectorCount = 0x48;
constexpr size_t kHeaderDifat = 0x4C;
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kFirstSpecialSector = 0xFFFFFFFA;  // MAXREGSECT + 1
constexpr uint32_t kFirstChainEnd = 0xFFFFFFFC;       // DIFAT, FAT, end of chain, free
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
// Directory entries: 128 bytes, UTF-16 name at 0, class id of the root entry at 0x50.
constexpr size_t kDirectoryEntryBytes = 128;
constexpr size_t kDirectoryNameBytes = 64;
constexpr size_t kClassId = 0x50;

constexpr uint8_t kWordClassId[] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kExcelClassId[] = {0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kExcel5ClassId[] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t kPowerPointClassId[] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                          0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
constexpr uint16_t kWordFibMagic = 0xA5EC;
constexpr uint16_t kExcelBof[] = {0x0809, 0x0010, 0x0600};

// The read-ahead fallback for compound documents saved by one office suite:
// a property-set marker and its "Microsoft Office Word" + "文档" (GBK) text.
constexpr uint8_t kPropertySetMarker[] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
constexpr uint8_t kWordDocumentText[] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ',  'O',  'f',  'f',
                                         'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};

// --- ZIP records
constexpr uint8_t kZipLocalHeader[] = {'P', 'K', 0x03, 0x04};
constexpr uint8_t kZipCentralHeader[] = {'P', 'K', 0x01, 0x02};
constexpr uint8_t kZipEndOfDirectory[] = {'P', 'K', 0x05, 0x06};
constexpr size_t kLocalNameOffset = 30;
constexpr size_t kCentralNameOffset = 46;
constexpr size_t kEndOfDirectoryBytes = 22;
constexpr char kContentTypesName[] = "[Content_Types].xml";  // 19 bytes
constexpr size_t kContentTypesOffset = 31;
// The OOXML look-ahead: 4-sector windows, 20 sectors in all.
constexpr uint32_t kWindowSectors = 4;
constexpr uint32_t kOoxmlLookSectors = 20;
constexpr size_t kWindowCarry = 4;

// Compound sectors are 2^shift bytes; a header with another shift is read in
// sectors of the source, as the file offsets then cannot be trusted anyway.
size_t CompoundSectorBytes(const CarveContext& context, const ByteView& header) {
  const uint16_t shift = header.U16(kSectorShift);
  if (shift == 9 || shift == 12) return size_t{1} << shift;
  return context.sectorSize;
}

// Compound sector `index` of the file that starts at sector fileStart; null
// when it cannot be read.
const uint8_t* ReadCompoundSector(CarveContext& context, uint64_t fileStart, uint32_t index, size_t sectorBytes) {
  return ReadContextBytes(context, fileStart, (static_cast<uint64_t>(index) + 1) * sectorBytes, sectorBytes);
}

bool NameStartsWith(const ByteView& entry, const char* name, size_t characters) {
  if (!entry.Has(0, characters * 2) || characters * 2 > kDirectoryNameBytes) return false;
  for (size_t i = 0; i < characters; ++i) {
    uint16_t unit = entry.U16(i * 2);
    if (unit >= 'A' && unit <= 'Z') unit = static_cast<uint16_t>(unit + ('a' - 'A'));
    char expected = name[i];
    if (expected >= 'A' && expected <= 'Z') expected = static_cast<char>(expected + ('a' - 'A'));
    if (unit != static_cast<uint8_t>(expected)) return false;
  }
  return true;
}

C DetectCompoundType(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView header(bytes, length);
  const size_t sectorBytes = CompoundSectorBytes(context, header);
  const uint64_t fileStart = context.readPosition;
  // The sector after the header: a Word stream or an Excel workbook often begins there.
  const uint8_t* first = ReadCompoundSector(context, fileStart, 0, sectorBytes);
  if (first == nullptr) return C::kOle;
  const ByteView firstView(first, sectorBytes);
  if (firstView.U16(0) == kWordFibMagic) return C::kDoc;
  if (firstView.U16(0) == kExcelBof[0] && firstView.U16(2) == kExcelBof[1] && firstView.U16(4) == kExcelBof[2]) {
    return C::kXls;
  }
  if (!header.Has(kFirstDirectorySector, 4)) return C::kOle;
  const uint8_t* directory = ReadCompoundSector(context, fileStart, header.U32(kFirstDirectorySector), sectorBytes);
  if (directory == nullptr) return C::kOle;
  const ByteView dir(directory, sectorBytes);
  if (dir.Equals(kClassId, kWordClassId, 16)) return C::kDoc;
  if (dir.Equals(kClassId, kExcelClassId, 16) || dir.Equals(kClassId, kExcel5ClassId, 16)) return C::kXls;
  if (dir.Equals(kClassId, kPowerPointClassId, 16)) return C::kPpt;
  for (size_t entry = 0; entry + kDirectoryEntryBytes <= sectorBytes; entry += kDirectoryEntryBytes) {
    const ByteView e = dir.Sub(entry, kDirectoryEntryBytes);
    if (NameStartsWith(e, "WordDocument", 12)) return C::kDoc;
    if (NameStartsWith(e, "Workbook", 8)) return C::kXls;
    if (NameStartsWith(e, "PowerPoint Document", 19)) return C::kPpt;
  }
  return C::kOle;
}

C RecogniseCompound(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < 8 || !ByteView(bytes, length).Equals(0, kCompoundMagic, sizeof kCompoundMagic)) return C::kNone;
  return DetectCompoundType(context, bytes, length);
}

// The member name at nameOffset of the window, if it names a part of a
// Word, PowerPoint or Excel package.
C MemberKind(const ByteView& window, size_t nameOffset) {
  auto startsWith = [&](const char* prefix, size_t n) {
    if (!window.Has(nameOffset, n)) return false;
    for (size_t i = 0; i < n; ++i) {
      char c = static_cast<char>(window.U8(nameOffset + i));
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
      if (c != prefix[i]) return false;
    }
    return true;
  };
  if (startsWith("word", 4)) return C::kDocx;
  if (startsWith("ppt", 3)) return C::kPptx;
  if (startsWith("xl", 2)) return C::kXlsx;
  return C::kNone;
}

// One of the two header searches over an OOXML window.
struct MemberSearch {
  const uint8_t* signature;
  size_t nameOffset;
  size_t minimumAfterSignature;  // the header needs more bytes than this after its signature
  size_t cursor = 0;
  bool done = false;

  // Looks at the next hit; returns the kind it names, kNone otherwise.
  C Next(const ByteView& window, size_t endOfDirectory) {
    const size_t at = FindFrom(window.data(), window.size(), cursor, signature, 4);
    if (at == kNotFound || (endOfDirectory != kNotFound && at > endOfDirectory) ||
        window.size() - at - 4 <= minimumAfterSignature) {
      done = true;
      return C::kNone;
    }
    cursor = at + 1;
    return MemberKind(window, at + nameOffset);
  }
};

C DetectOoxmlType(CarveContext& context) {
  const uint32_t sectorSize = context.sectorSize;
  if (!IsUsableSectorSize(sectorSize)) return C::kNone;
  const size_t windowBytes = kWindowCarry + static_cast<size_t>(kWindowSectors) * sectorSize;
  uint8_t* window = context.ProbeBuffer(windowBytes);
  std::memset(window, 0, kWindowCarry);
  const uint64_t fileStart = context.readPosition;
  for (uint32_t sectorsRead = 0; sectorsRead < kOoxmlLookSectors; sectorsRead += kWindowSectors) {
    if (ReadContextSectors(context, fileStart + sectorsRead, kWindowSectors, window + kWindowCarry) != kWindowSectors) {
      return C::kNone;
    }
    const ByteView view(window, windowBytes);
    const size_t endOfDirectory = FindFrom(window, windowBytes, 0, kZipEndOfDirectory, 4);
    MemberSearch local{kZipLocalHeader, kLocalNameOffset, 4};
    MemberSearch central{kZipCentralHeader, kCentralNameOffset, 47};
    while (!local.done || !central.done) {
      if (!local.done) {
        if (const C kind = local.Next(view, endOfDirectory); kind != C::kNone) return kind;
      }
      if (!central.done) {
        if (const C kind = central.Next(view, endOfDirectory); kind != C::kNone) return kind;
      }
    }
    std::memmove(window, window + windowBytes - kWindowCarry, kWindowCarry);
  }
  return C::kNone;
}

C RecogniseOoxml(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView b(bytes, length);
  if (length < 31) return C::kNone;
  if (!b.Equals(0, kZipLocalHeader, 4) && !b.Equals(kContentTypesOffset, kContentTypesName, 19)) return C::kNone;
  return DetectOoxmlType(context);
}

C RecognisePdf(CarveContext&, const uint8_t* bytes, size_t length) {
  return length >= 5 && ByteView(bytes, length).Equals(0, "%PDF-", 5) ? C::kPdf : C::kNone;
}

// Last FAT sector named by the header (and DIFAT chain); false when the
// header or the chain gives none.
bool FindLastFatSector(CarveContext& context, const ByteView& header, uint32_t fatSectors, size_t sectorBytes,
                       uint32_t* lastFatSector) {
  const uint32_t difatSectors = header.U32(kDifatSectorCount);
  if (difatSectors == 0) {
    if (fatSectors > kHeaderDifatEntries) return false;
    *lastFatSector = header.U32(kHeaderDifat + 4 * (fatSectors - 1));
    return true;
  }
  // A DIFAT sector holds perSector FAT sector numbers and then the next DIFAT sector.
  const uint32_t perSector = static_cast<uint32_t>(sectorBytes / 4) - 1;
  const uint64_t beyondHeader = fatSectors - kHeaderDifatEntries;
  // The chain must be exactly as long as the FAT needs, which also bounds the walk.
  if (beyondHeader == 0 || (beyondHeader + perSector - 1) / perSector != difatSectors) return false;
  const uint32_t remainder = static_cast<uint32_t>(beyondHeader % perSector);
  const uint32_t lastEntry = remainder == 0 ? perSector - 1 : remainder - 1;
  const uint64_t fileStart = context.hitSector;
  uint32_t sector = header.U32(kFirstDifatSector);
  for (uint32_t i = 0; i < difatSectors; ++i) {
    if (sector >= kFirstChainEnd) return false;
    const uint8_t* difat = ReadCompoundSector(context, fileStart, sector, sectorBytes);
    if (difat == nullptr) return false;
    const ByteView view(difat, sectorBytes);
    if (i + 1 == difatSectors) {
      *lastFatSector = view.U32(4 * static_cast<size_t>(lastEntry));
      return true;
    }
    sector = view.U32(4 * static_cast<size_t>(perSector));
  }
  return false;
}

}  // namespace

const Recogniser kCompoundRecogniser{RecogniseCompound, {{{0, 0xD0}}}, 1};
const Recogniser kOoxmlRecogniser{RecogniseOoxml, {{{0, 'P'}, {kContentTypesOffset, '['}}}, 2};
const Recogniser kPdfRecogniser{RecognisePdf, {{{0, '%'}}}, 1};

uint64_t CompoundHeaderSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const ByteView header(bytes, length);
  if (!header.Has(0, kHeaderBytes)) return 0;
  const uint16_t shift = header.U16(kSectorShift);
  if (shift != 9 && shift != 12) return 0;
  const size_t sectorBytes = size_t{1} << shift;
  const uint64_t entriesPerSector = sectorBytes / 4;
  const uint32_t maxSectors = (kFirstSpecialSector >> (shift - 2)) + 1;
  const uint32_t fatSectors = header.U32(kFatSectorCount);
  const uint32_t difatSectors = header.U32(kDifatSectorCount);
  if (fatSectors > maxSectors || header.U32(kMiniFatSectorCount) > maxSectors) return 0;
  if (difatSectors > maxSectors / ((1u << (shift - 2)) - 1) + 1) return 0;
  if (difatSectors > 0 && fatSectors < kHeaderDifatEntries) return 0;
  if (fatSectors == 0) return 0;
  // Even with the last FAT sector all free the file would pass the limit: no need to read it.
  if (const uint64_t least = ((fatSectors - 1) * entriesPerSector + 1) * sectorBytes; least > kOfficeLimit) {
    return least;
  }
  uint32_t lastFatSector = 0;
  if (!FindLastFatSector(context, header, fatSectors, sectorBytes, &lastFatSector)) return 0;
  if (lastFatSector >= kFirstSpecialSector) return 0;
  const uint8_t* fat = ReadCompoundSector(context, context.hitSector, lastFatSector, sectorBytes);
  if (fat == nullptr) return 0;
  const ByteView fatView(fat, sectorBytes);
  uint64_t freeAtEnd = 0;
  while (freeAtEnd < entriesPerSector && fatView.U32(sectorBytes - 4 * (freeAtEnd + 1)) == kFreeSector) ++freeAtEnd;
  // The header sector plus every sector the FAT accounts for up to its last used entry.
  const uint64_t size = (fatSectors * entriesPerSector + 1 - freeAtEnd) * sectorBytes;
  return size;
}

uint64_t CompoundSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (const uint64_t size = CompoundHeaderSize(context, bytes, length); size != 0) {
    FileWindow window(context, bytes, length);
    return EndWithin(window, size, kOfficeLimit);
  }
  const uint32_t sectorSize = context.sectorSize;
  return ReadAhead(context, kOfficeLimit, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    if (FindFrom(chunk, chunkBytes, 0, kPropertySetMarker, sizeof kPropertySetMarker) == kNotFound) {
      return ChunkVerdict::GoOn();
    }
    const size_t text = FindFrom(chunk, chunkBytes, 0, kWordDocumentText, sizeof kWordDocumentText);
    if (text == kNotFound) return ChunkVerdict::GoOn();
    const uint64_t end = (text + sizeof kWordDocumentText + sectorSize - 1) / sectorSize * sectorSize;
    return ChunkVerdict::EndWithSize(base + end);
  });
}

uint64_t ZipLikeSize(CarveContext& context, const uint8_t* bytes, size_t length, uint64_t limitBytes) {
  // The candidate sector is looked at first, so an archive smaller than one
  // sector ends where it ends.
  const size_t inFirst = FindLast(bytes, length, kZipEndOfDirectory, 4);
  if (inFirst != kNotFound) return inFirst + kEndOfDirectoryBytes;
  return ReadAhead(context, limitBytes, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    const size_t at = FindLast(chunk, chunkBytes, kZipEndOfDirectory, 4);
    return at == kNotFound ? ChunkVerdict::GoOn() : ChunkVerdict::EndWithSize(base + at + kEndOfDirectoryBytes);
  });
}

uint64_t OoxmlSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  return ZipLikeSize(context, bytes, length, kOfficeLimit);
}

uint64_t PdfSize(CarveContext& context, const uint8_t*, size_t) {
  return ReadAhead(context, k1GiB, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    if (const size_t end = FindLast(chunk, chunkBytes, "%%EOF", 5); end != kNotFound) {
      // The line end after the marker (CR, LF or CR LF) belongs to the file.
      size_t after = end + 5;
      if (after < chunkBytes && chunk[after] == '\r') ++after;
      if (after < chunkBytes && chunk[after] == '\n') ++after;
      return ChunkVerdict::EndWithSize(base + after);
    }
    if (const size_t trailer = FindLast(chunk, chunkBytes, "trailer", 7); trailer != kNotFound) {
      return ChunkVerdict::EndWithSize(base + trailer + 7);
    }
    return ChunkVerdict::GoOn();
  });
}

}  // namespace engine::signatures
