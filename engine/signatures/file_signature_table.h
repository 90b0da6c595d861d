// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/signatures/file_type_code.h"
#include "engine/signatures/recognisers.h"

namespace engine::signatures {

// One kind of file the deep scan knows: the extension a carved file is named
// with (lower case, no dot), its code, the recogniser that finds it and the
// size rule that measures it (null: recognised but never carved). Rows of
// one family share one recogniser and one size rule; the recogniser answers
// the code it actually found, which may belong to another row of the family.
struct FileSignatureRow {
  std::string_view extension;
  FileTypeCode code = FileTypeCode::kNone;
  const Recogniser* recogniser = nullptr;
  SizeRuleFn sizeRule = nullptr;
};

// The ordered table, without its closing kNone row. Recognition walks it from
// the top; the first recogniser that answers wins. Adding a kind is adding a
// row (file_signature_table.cpp). Constant; any thread.
std::span<const FileSignatureRow> FileSignatureTable();

// What a sector was recognised as: the code found and the row at which its
// recogniser answered (-1 with kNone).
struct Recognition {
  FileTypeCode code = FileTypeCode::kNone;
  int32_t row = -1;
};

// Recognises a sector: each distinct recogniser is tried once, in the order
// of its first row, and the first answer other than kNone wins. A 256-entry
// table per quick-key offset first narrows the recognisers to those whose
// keys hold, so most sectors cost a few table look-ups. The recognisers read
// around the candidate through context (its thread only).
Recognition RecogniseSector(CarveContext& context, const uint8_t* bytes, size_t length);

// As RecogniseSector, for a sector inside a file being measured: only the
// kinds whose starts end a read-ahead (every kind but text) are tried.
Recognition RecogniseNextStart(CarveContext& context, const uint8_t* bytes, size_t length);

// The same answer from the plain walk of every row in table order, without
// the dispatch; the reference the dispatch is tested against.
Recognition RecogniseSectorByTableWalk(CarveContext& context, const uint8_t* bytes, size_t length);

// Index of the first row with this code (its extension names carved files),
// or -1.
int32_t FirstRowOfCode(FileTypeCode code);

// Sectors the signature scanner moves on by after carving a file of `code`
// measured at sizeBytes: one sector for the kinds whose size comes from a
// header field or that may enclose other files (doc, ole, xls, ppt, wav, avi,
// wmv, swf, bmp, cab, ttf, ico), so the scan looks inside them; otherwise the
// whole file, ceil(sizeBytes / sectorSize), at least one sector. 1 for an
// unusable sector size. Any thread.
uint64_t SectorsToSkipAfterCarve(FileTypeCode code, uint64_t sizeBytes, uint32_t sectorSize);

// Index of the first row whose extension equals extension (ASCII letters
// compared case-insensitively), or -1.
int32_t RowOfExtension(std::string_view extension);

}  // namespace engine::signatures
