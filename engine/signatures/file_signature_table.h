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
// keys hold, so most sectors cost a few table look-ups. Scanning thread only
// (recognisers read through the CarveContext).
Recognition RecogniseSector(const uint8_t* bytes, size_t length);

// The same answer from the plain walk of every row in table order, without
// the dispatch; the reference the dispatch is tested against.
Recognition RecogniseSectorByTableWalk(const uint8_t* bytes, size_t length);

// Index of the first row with this code (its extension names carved files),
// or -1.
int32_t FirstRowOfCode(FileTypeCode code);

// Index of the first row whose extension equals extension (ASCII letters
// compared case-insensitively), or -1.
int32_t RowOfExtension(std::string_view extension);

}  // namespace engine::signatures
