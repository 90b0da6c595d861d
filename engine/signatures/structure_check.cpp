// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/signatures/structure_check.h"

#include <algorithm>
#include <array>
#include <cstring>
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
    default: return Verdict::kNoCheck;
  }
}

}  // namespace

uint64_t StructureCheckLimit(std::string_view extension) {
  return LimitOf(CheckOf(extension));
}

namespace {

Verdict CheckBytes(Check check, FileBytes& bytes, storage::SectorSource& file, uint32_t sectorSize, uint64_t fileSize,
                   bool wantHeld) {
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
                                    std::string_view extension, uint64_t* heldBytes) {
  if (heldBytes != nullptr) *heldBytes = 0;
  const Check check = CheckOf(extension);
  if (!IsUsableSectorSize(sectorSize) || fileSize == 0 || fileSize > LimitOf(check)) return Verdict::kNoCheck;
  FileBytes bytes(file, sectorSize, fileSize);
  const Verdict verdict = CheckBytes(check, bytes, file, sectorSize, fileSize, heldBytes != nullptr);
  if (heldBytes != nullptr) *heldBytes = verdict == Verdict::kConsistent ? fileSize : bytes.BrokenAt();
  return verdict;
}

}  // namespace engine::signatures
