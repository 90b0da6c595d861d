// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/structure_check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "engine/byte_view.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/structure_checks.h"
#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/structure_walks.h"
#include "platform/utf.h"

namespace engine::signatures {
namespace {

using Verdict = StructureVerdict;

// Walks and lists are bounded so that a crafted file cannot keep a check busy.
constexpr uint32_t kMaxPdfObjects = 4096;

Verdict FromEnd(uint64_t end, uint64_t fileSize) {
  return end != 0 && end <= fileSize ? Verdict::kConsistent : Verdict::kBroken;
}

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

// Reads a decimal number at pos (leading spaces skipped); false when none.
bool NumberAt(FileWindow& window, uint64_t* pos, uint64_t* value) {
  const uint8_t* b = nullptr;
  for (int i = 0; i < 16 && (b = window.Get(*pos, 1)) != nullptr && (*b == ' ' || *b == '\r' || *b == '\n'); ++i) {
    ++*pos;
  }
  uint64_t v = 0;
  int digits = 0;
  while ((b = window.Get(*pos, 1)) != nullptr && IsDigit(*b) && digits < 19) {
    v = v * 10 + (*b - '0');
    ++*pos;
    ++digits;
  }
  *value = v;
  return digits > 0;
}

// "<number> <number> obj" at pos.
bool ObjectAt(FileWindow& window, uint64_t pos) {
  uint64_t number = 0, generation = 0;
  if (!NumberAt(window, &pos, &number) || !NumberAt(window, &pos, &generation)) return false;
  const uint8_t* rest = window.Get(pos, 4);
  return rest != nullptr && (std::memcmp(rest, " obj", 4) == 0 || std::memcmp(rest + 1, "obj", 3) == 0);
}

// PDF: the last "startxref" names the cross-reference section; in a table,
// every object in use must begin where its entry says.
Verdict CheckPdf(FileWindow& window, uint64_t fileSize) {
  const uint64_t tail = std::min<uint64_t>(fileSize, 2048);
  uint64_t marker = 0;
  bool found = false;
  for (uint64_t at = fileSize - tail; at + 9 <= fileSize; ++at) {
    const uint8_t* b = window.Get(at, 9);
    if (b != nullptr && std::memcmp(b, "startxref", 9) == 0) {
      marker = at;
      found = true;
    }
  }
  if (!found) return Verdict::kBroken;
  uint64_t pos = marker + 9;
  uint64_t xref = 0;
  if (!NumberAt(window, &pos, &xref) || xref >= marker) return Verdict::kBroken;
  const uint8_t* x = window.Get(xref, 4);
  if (x == nullptr) return Verdict::kBroken;
  if (std::memcmp(x, "xref", 4) != 0) return ObjectAt(window, xref) ? Verdict::kConsistent : Verdict::kBroken;
  pos = xref + 4;
  uint32_t checked = 0;
  for (int section = 0; section < 64 && checked < kMaxPdfObjects; ++section) {
    uint64_t first = 0, count = 0;
    const uint64_t before = pos;
    if (!NumberAt(window, &pos, &first) || !NumberAt(window, &pos, &count)) {
      pos = before;
      break;
    }
    // Entries are 20 bytes: offset (10 digits), generation (5), "n" or "f", end of line.
    const uint8_t* b = nullptr;
    while ((b = window.Get(pos, 1)) != nullptr && (*b == ' ' || *b == '\r' || *b == '\n')) ++pos;
    for (uint64_t i = 0; i < count && checked < kMaxPdfObjects; ++i, pos += 20) {
      const uint8_t* entry = window.Get(pos, 18);
      if (entry == nullptr) return Verdict::kBroken;
      uint64_t offset = 0;
      for (int k = 0; k < 10; ++k) {
        if (!IsDigit(entry[k])) return Verdict::kBroken;
        offset = offset * 10 + (entry[k] - '0');
      }
      if (entry[17] != 'n' || offset == 0) continue;
      if (offset >= fileSize || !ObjectAt(window, offset)) return Verdict::kBroken;
      ++checked;
    }
  }
  return Verdict::kConsistent;
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t count) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (size_t i = 0; i < count; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

// CRC-32 of bytes [from, from + count) of the file; false when they cannot be read.
bool Crc32Of(FileWindow& window, uint64_t from, uint64_t count, uint32_t* crc) {
  uint32_t c = 0xFFFFFFFFu;
  while (count > 0) {
    size_t got = 0;
    const uint8_t* span = window.Span(from, static_cast<size_t>(std::min<uint64_t>(count, FileWindow::kMaxSpan)), &got);
    if (span == nullptr || got == 0) return false;
    c = Crc32Update(c, span, got);
    from += got;
    count -= got;
  }
  *crc = c ^ 0xFFFFFFFFu;
  return true;
}

// PNG framing: every chunk's length and CRC up to IEND (nothing inflated).
Verdict CheckPngChunks(FileWindow& window, uint64_t fileSize) {
  constexpr uint32_t kMaxPngChunks = 1u << 20;
  uint64_t pos = 8;
  for (uint32_t step = 0; step < kMaxPngChunks; ++step) {
    const uint8_t* h = window.Get(pos, 8);
    if (h == nullptr) return Verdict::kBroken;
    const ByteView head(h, 8);
    const uint64_t length = head.U32Be(0);
    const bool end = head.Equals(4, "IEND", 4);
    if (length > 0x7FFFFFFF || pos + 12 + length > fileSize) return Verdict::kBroken;
    uint32_t crc = 0;
    if (!Crc32Of(window, pos + 4, 4 + length, &crc)) return Verdict::kBroken;
    const uint8_t* stored = window.Get(pos + 8 + length, 4);
    if (stored == nullptr || ByteView(stored, 4).U32Be(0) != crc) return Verdict::kBroken;
    pos += 12 + length;
    if (end) return Verdict::kConsistent;
  }
  return Verdict::kBroken;
}

// ZIP framing: the end record, the central directory, and each member's local
// header where the directory says (nothing inflated).
Verdict CheckZipHeaders(FileWindow& window, uint64_t fileSize) {
  constexpr uint32_t kMaxZipMembers = 65535;
  if (fileSize < 22) return Verdict::kBroken;
  const uint64_t lowest = fileSize > 65557 ? fileSize - 65557 : 0;
  uint64_t eocd = 0;
  bool found = false;
  for (uint64_t at = fileSize - 22 + 1; at-- > lowest;) {
    const uint8_t* sig = window.Get(at, 4);
    if (sig != nullptr && std::memcmp(sig, "PK\x05\x06", 4) == 0) {
      eocd = at;
      found = true;
      break;
    }
  }
  if (!found) return Verdict::kBroken;
  const uint8_t* e = window.Get(eocd, 22);
  if (e == nullptr) return Verdict::kBroken;
  const ByteView end(e, 22);
  const uint32_t members = end.U16(10);
  const uint64_t cdSize = end.U32(12);
  const uint64_t cdOffset = end.U32(16);
  if (cdOffset == 0xFFFFFFFFu || members == 0xFFFF) return Verdict::kNoCheck;  // ZIP64
  if (cdOffset + cdSize > eocd) return Verdict::kBroken;
  uint64_t pos = cdOffset;
  for (uint32_t i = 0; i < members && i < kMaxZipMembers; ++i) {
    const uint8_t* c = window.Get(pos, 46);
    if (c == nullptr || std::memcmp(c, "PK\x01\x02", 4) != 0) return Verdict::kBroken;
    const ByteView central(c, 46);
    const uint64_t compressed = central.U32(20);
    const size_t nameBytes = central.U16(28);
    const uint64_t entryBytes = 46 + uint64_t{nameBytes} + central.U16(30) + central.U16(32);
    const uint64_t local = central.U32(42);
    std::string name;
    if (nameBytes != 0) {
      const uint8_t* n = window.Get(pos + 46, nameBytes);
      if (n == nullptr) return Verdict::kBroken;
      name.assign(reinterpret_cast<const char*>(n), nameBytes);
    }
    const uint8_t* l = window.Get(local, 30);
    if (l == nullptr || std::memcmp(l, "PK\x03\x04", 4) != 0) return Verdict::kBroken;
    const ByteView header(l, 30);
    if (header.U16(26) != nameBytes) return Verdict::kBroken;
    if (nameBytes != 0) {
      const uint8_t* n = window.Get(local + 30, nameBytes);
      if (n == nullptr || std::memcmp(n, name.data(), nameBytes) != 0) return Verdict::kBroken;
    }
    if (local + 30 + nameBytes + header.U16(28) + compressed > cdOffset) return Verdict::kBroken;
    pos += entryBytes;
  }
  return Verdict::kConsistent;
}

// The check a kind of file gets, by its extension.
enum class Check { kNone, kJpeg, kPng, kGif, kTiff, kPsd, kPdf, kZip, kRiff, kTransportStream, kIsoMedia, kMp3 };

struct CheckOfExtension {
  std::string_view extension;
  Check check;
};

constexpr CheckOfExtension kChecks[] = {
    {"jpg", Check::kJpeg},   {"jpeg", Check::kJpeg},  {"jpe", Check::kJpeg},  {"jfif", Check::kJpeg},
    {"png", Check::kPng},    {"gif", Check::kGif},    {"tif", Check::kTiff},  {"tiff", Check::kTiff},
    {"psd", Check::kPsd},    {"pdf", Check::kPdf},    {"zip", Check::kZip},   {"jar", Check::kZip},
    {"apk", Check::kZip},    {"xpi", Check::kZip},    {"kmz", Check::kZip},   {"epub", Check::kZip},
    {"odt", Check::kZip},    {"ods", Check::kZip},    {"odp", Check::kZip},   {"odg", Check::kZip},
    {"ott", Check::kZip},    {"ots", Check::kZip},    {"otp", Check::kZip},   {"avi", Check::kRiff},
    {"wav", Check::kRiff},   {"ts", Check::kTransportStream},  {"mts", Check::kTransportStream},
    {"m2ts", Check::kTransportStream},  {"m2t", Check::kTransportStream},  {"mp4", Check::kIsoMedia},
    {"mov", Check::kIsoMedia},  {"qt", Check::kIsoMedia},  {"m4a", Check::kIsoMedia},  {"m4v", Check::kIsoMedia},
    {"m4b", Check::kIsoMedia},  {"3gp", Check::kIsoMedia},  {"3g2", Check::kIsoMedia},  {"mp3", Check::kMp3},
};

Check CheckOf(std::string_view extension) {
  const std::string lower = platform::AsciiLower(extension);
  for (const CheckOfExtension& c : kChecks) {
    if (c.extension == lower) return c.check;
  }
  // The office formats built on ZIP, by their rows in the signature table.
  const int32_t row = RowOfExtension(lower);
  if (row < 0) return Check::kNone;
  switch (FileSignatureTable()[static_cast<size_t>(row)].code) {
    case FileTypeCode::kDocx:
    case FileTypeCode::kXlsx:
    case FileTypeCode::kPptx:
    case FileTypeCode::kMso07: return Check::kZip;
    default: return Check::kNone;
  }
}

uint64_t LimitOf(Check check) {
  switch (check) {
    case Check::kNone: return 0;
    case Check::kRiff:
    case Check::kIsoMedia: return kUnlimitedCheckBytes;
    case Check::kZip:
    case Check::kMp3: return kMaxWalkedFileBytes;
    case Check::kTransportStream: return kMaxStreamFileBytes;
    default: return kMaxCheckedFileBytes;
  }
}

// The checks written on the carving walks (a window over a carving context).
Verdict CheckByWalk(Check check, storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize) {
  CarveContext context;
  context.Attach(&file, sectorSize, (fileSize + sectorSize - 1) / sectorSize);
  context.hitSector = 0;
  context.readPosition = 0;
  std::vector<uint8_t> first(sectorSize);
  uint32_t got = 0;
  if (storage::ReadSectors(1, file, first.data(), 0, sectorSize, &got) != 0 || got != 1) return Verdict::kBroken;
  FileWindow window(context, first.data(), first.size());
  switch (check) {
    case Check::kGif: return FromEnd(WalkGifEnd(window, fileSize), fileSize);
    case Check::kTiff: return FromEnd(WalkTiffEnd(window, fileSize), fileSize);
    case Check::kPsd: return FromEnd(WalkPsdEnd(window, fileSize), fileSize);
    case Check::kPdf: return CheckPdf(window, fileSize);
    case Check::kPng: return CheckPngChunks(window, fileSize);
    case Check::kZip: return CheckZipHeaders(window, fileSize);
    case Check::kJpeg: return FromEnd(WalkJpegEnd(window, fileSize), fileSize);
    default: return Verdict::kNoCheck;
  }
}

}  // namespace

uint64_t StructureCheckLimit(std::string_view extension) {
  return LimitOf(CheckOf(extension));
}

DecodedKind DecodedKindOf(std::string_view extension) {
  switch (CheckOf(extension)) {
    case Check::kJpeg: return DecodedKind::kJpeg;
    case Check::kPng: return DecodedKind::kPng;
    case Check::kZip: return DecodedKind::kZip;
    default: return DecodedKind::kNone;
  }
}

bool ChecksBoxesOnly(std::string_view extension) {
  return CheckOf(extension) == Check::kIsoMedia;
}

namespace {

Verdict CheckBytes(Check check, FileBytes& bytes, storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize,
                   bool wantHeld, CheckDepth depth) {
  const bool decoded = check == Check::kJpeg || check == Check::kPng || check == Check::kZip;
  if (depth == CheckDepth::kQuick && decoded) return CheckByWalk(check, file, sectorSize, fileSize);
  switch (check) {
    case Check::kJpeg: {
      // The marker walk first: it finds most foreign pieces before any
      // decoding (but only the decoder tells how far the data held).
      if (!wantHeld && CheckByWalk(check, file, sectorSize, fileSize) == Verdict::kBroken) return Verdict::kBroken;
      return CheckJpegDecoded(bytes);
    }
    case Check::kPng: return CheckPngDecoded(bytes);
    case Check::kZip: return CheckZipMembers(bytes);
    case Check::kRiff: return CheckRiff(bytes);
    case Check::kTransportStream: return CheckTransportStream(bytes);
    case Check::kIsoMedia: return CheckIsoMedia(bytes);
    case Check::kMp3: return CheckMp3(bytes);
    case Check::kNone: return Verdict::kNoCheck;
    default: return CheckByWalk(check, file, sectorSize, fileSize);
  }
}

}  // namespace

StructureVerdict CheckFileStructure(storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize,
                                    std::string_view extension, uint64_t* heldBytes, CheckDepth depth) {
  if (heldBytes != nullptr) *heldBytes = 0;
  const Check check = CheckOf(extension);
  if (!IsUsableSectorSize(sectorSize) || fileSize == 0 || fileSize > LimitOf(check)) return Verdict::kNoCheck;
  FileBytes bytes(file, sectorSize, fileSize);
  const Verdict verdict = CheckBytes(check, bytes, file, sectorSize, fileSize, heldBytes != nullptr, depth);
  if (heldBytes != nullptr) *heldBytes = verdict == Verdict::kConsistent ? fileSize : bytes.BrokenAt();
  return verdict;
}

}  // namespace engine::signatures
