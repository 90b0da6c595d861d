// SPDX-License-Identifier: GPL-3.0-or-later
// Text files by their content: source code, scripts, configuration, notes,
// JSON, CSV. Text has no magic, so the start is judged by the whole first
// sector: UTF-8 text from its first byte to its end, or to a zero byte
// followed by nothing but zeros (a file that ends in this sector: the rest
// of a cluster is zeros when the file was written). Random data and binary
// files fail this within a few bytes. The kind comes from the first 4 KiB.
#include <algorithm>
#include <cstring>

#include "engine/signatures/file_signature_table.h"
#include "engine/signatures/read_ahead.h"
#include "engine/signatures/recognisers.h"
#include "engine/signatures/text_content.h"

namespace engine::signatures {
namespace {

using C = FileTypeCode;

// Bytes the kind is judged from.
constexpr size_t kKindHeadBytes = 4096;
// A text file ending in its first sector holds at least this much.
constexpr uint64_t kMinTextBytes = 16;
// The end of the sector before a start that tells whether text runs on into it.
constexpr size_t kBeforeBytes = 16;

bool AllZero(const uint8_t* bytes, size_t from, size_t to) {
  return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == 0; });
}

// Letters and digits are at least a quarter of the visible characters
// (runs of one mark, lines of "=====", are no file's start), and a text
// shorter than the sector ends with a line end or a JSON/markup close.
bool LooksWritten(const uint8_t* text, size_t textBytes, bool endsInSector) {
  size_t visible = 0, words = 0;
  for (size_t i = 0; i < textBytes; ++i) {
    const uint8_t c = text[i];
    if (c <= ' ') continue;
    ++visible;
    words += (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c >= 0x80;
  }
  if (visible == 0 || words * 4 < visible) return false;
  if (!endsInSector) return true;
  size_t last = textBytes;
  while (last > 0 && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
  if (last == 0) return false;
  const uint8_t close = text[last - 1];
  return close == '\n' || close == '}' || close == ']' || close == '>';
}

// True when the bytes are text characters or parts of them, no zero byte or
// control character among them.
bool AllText(const uint8_t* bytes, size_t count) {
  return std::all_of(bytes, bytes + count, [](uint8_t c) {
    return c >= 0x80 || (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r';
  });
}

// The end of a start's sector: text, or text then zeros (the file ends in
// this sector). Checked before the whole sector is walked.
bool MayEndAsText(const uint8_t* bytes, size_t count) {
  bool zeros = false;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t c = bytes[i];
    if (c == 0) {
      zeros = true;
    } else if (zeros || !(c >= 0x80 || (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == 0x0C)) {
      return false;
    }
  }
  return true;
}

// A text whose sector follows one that is text up to its last byte is the
// middle of a file (a tail behind a newer file's end, the next cluster of
// a text), not the start of one: a file's last sector ends in zeros, or a
// binary file's bytes, before another file begins.
bool TextRunsOnFromBefore(CarveContext& context) {
  if (context.reader == nullptr || context.readPosition == 0 || context.sectorSize < kBeforeBytes) return false;
  const uint8_t* before =
      ReadContextBytes(context, context.readPosition - 1, context.sectorSize - kBeforeBytes, kBeforeBytes);
  return before != nullptr && AllText(before, kBeforeBytes);
}

C RecognisePlainText(CarveContext& context, const uint8_t* bytes, size_t length) {
  if (length < kMinSectorSize || !IsTextStartByte(bytes[0])) return C::kNone;
  // Whether text runs on into this sector from the one before: known
  // without a read when that one was looked at last (text runs are walked
  // sector by sector); this one is remembered for the next.
  const bool beforeKnown = context.textTailKnown && context.textTailSector + 1 == context.readPosition;
  const bool runsOnKnown = beforeKnown && context.textTailRunsOn;
  context.textTailKnown = true;
  context.textTailSector = context.readPosition;
  context.textTailRunsOn = AllText(bytes + length - kBeforeBytes, kBeforeBytes);
  if (runsOnKnown || !MayEndAsText(bytes + length - kBeforeBytes, kBeforeBytes)) return C::kNone;
  // Written text has lines: a sector without a line end starts only JSON or
  // markup written on one line (pixels, samples and tables may be UTF-8 by chance).
  size_t first = 0;
  while (first < length && (bytes[first] == ' ' || bytes[first] == '\t' || bytes[first] == '\r')) ++first;
  if (std::memchr(bytes, '\n', length) == nullptr &&
      !(first < length && (bytes[first] == '{' || bytes[first] == '[' || bytes[first] == '<'))) {
    return C::kNone;
  }
  TextWalk walk;
  const bool whole = walk.Feed(bytes, length);
  const auto textBytes = static_cast<size_t>(walk.End());
  if (!whole) {
    // Ends here: a zero byte, then zeros to the sector's end.
    if (bytes[textBytes] != 0 || textBytes < kMinTextBytes || !AllZero(bytes, textBytes, length)) return C::kNone;
  }
  if ((!beforeKnown && TextRunsOnFromBefore(context)) || !LooksWritten(bytes, textBytes, !whole)) return C::kNone;
  if (whole && walk.Lines() == 0) {
    // A full sector without a line end: only JSON or markup written on one line.
    const C kind = TextKindOf(bytes, textBytes);
    return kind == C::kJson || kind == C::kXmlText || kind == C::kHtml ? kind : C::kNone;
  }
  if (!whole || context.reader == nullptr) return TextKindOf(bytes, textBytes);
  // The kind from the first 4 KiB, as far as they are text.
  const uint64_t end = context.EndSector();
  const uint64_t available = end > context.readPosition ? (end - context.readPosition) * context.sectorSize : 0;
  const size_t headBytes = static_cast<size_t>(std::min<uint64_t>(kKindHeadBytes, available));
  const uint8_t* head = headBytes > length ? ReadContextBytes(context, context.readPosition, 0, headBytes) : nullptr;
  if (head == nullptr) return TextKindOf(bytes, textBytes);
  TextWalk headWalk;
  headWalk.Feed(head, headBytes);
  return TextKindOf(head, static_cast<size_t>(headWalk.End()));
}

}  // namespace

// A start holds at least 16 text bytes before any zero: the dispatch turns
// away nearly every sector that is no text on its first 8 bytes, without a call.
const Recogniser kPlainTextRecogniser{RecognisePlainText, {}, 0, IsTextStartByte, true, false};

bool IsTextNamedByContent(std::string_view extension) {
  for (const FileSignatureRow& row : FileSignatureTable()) {
    if (row.recogniser != &kPlainTextRecogniser || row.extension.size() != extension.size()) continue;
    bool same = true;
    for (size_t i = 0; i < extension.size() && same; ++i) {
      const char c = extension[i];
      same = (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == row.extension[i];
    }
    if (same) return true;
  }
  return false;
}

uint64_t PlainTextSize(CarveContext& context, const uint8_t* bytes, size_t length) {
  const uint32_t sectorSize = context.sectorSize;
  // Whole only when a zero byte ends the text and zeros fill the rest of its
  // sector; text that stops at another byte, at the next file, at the end of
  // the run or at the cap may go on elsewhere (overwritten, cut): damaged.
  const auto endsClean = [sectorSize](const uint8_t* chunk, size_t chunkBytes, size_t end) {
    const size_t sectorEnd = std::min(chunkBytes, (end / sectorSize + 1) * sectorSize);
    return end < chunkBytes && AllZero(chunk, end, sectorEnd);
  };
  // The read-ahead goes on from the sector after the candidate.
  const size_t first = std::min<size_t>(length, sectorSize);
  TextWalk walk;
  if (!walk.Feed(bytes, first) || first < sectorSize) {
    if (!endsClean(bytes, first, static_cast<size_t>(walk.End()))) context.carvedDamaged = true;
    return walk.End();
  }
  uint64_t limit = kMaxTextBytes - std::min<uint64_t>(kMaxTextBytes, length);
  if (context.runEnd != 0) {
    // Not into the sectors after the run being scanned (another file's, in use).
    const uint64_t runSectors = context.runEnd > context.hitSector + 1 ? context.runEnd - context.hitSector - 1 : 0;
    limit = std::min<uint64_t>(limit, runSectors * sectorSize);
  }
  bool clean = false;
  const uint64_t size = ReadAhead(context, limit, false, [&](const uint8_t* chunk, size_t chunkBytes, uint64_t base) {
    if (walk.Feed(chunk, chunkBytes)) return ChunkVerdict::GoOn();
    clean = endsClean(chunk, chunkBytes, static_cast<size_t>(walk.End() - base));
    return ChunkVerdict::EndWithSize(walk.End());
  });
  if (!clean) context.carvedDamaged = true;
  return size;
}

}  // namespace engine::signatures
