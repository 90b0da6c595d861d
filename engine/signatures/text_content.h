// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/signatures/file_type_code.h"

// What text is, for the carver's text kinds: a walk over UTF-8 text that
// finds where it stops, and the kind a text's first bytes show (script,
// source code, JSON, XML, CSV, ...). Pure functions of the bytes; any thread.
namespace engine::signatures {

// Walks a stream of UTF-8 text fed in pieces: printable characters (U+0020
// and up, DEL excepted), tab, line feed, form feed and carriage return, each
// multi-byte character well formed (no overlong forms, surrogates or code
// points past U+10FFFF). A character may be split between two pieces.
class TextWalk {
 public:
  // Feeds the next count bytes. True when they are all text (an unfinished
  // character at their end waits for the next piece); false at the first
  // byte that is not, after which End() is where the text stopped: the
  // first byte of the character it broke in.
  bool Feed(const uint8_t* bytes, size_t count);
  // Stream bytes of whole text characters so far (the text's end once Feed
  // has returned false).
  uint64_t End() const { return m_end; }
  // Line feeds seen in the text.
  uint64_t Lines() const { return m_lines; }

 private:
  uint64_t m_end = 0;      // stream offset after the last whole character
  uint64_t m_lines = 0;
  uint32_t m_need = 0;     // continuation bytes the current character still needs
  uint32_t m_have = 0;     // continuation bytes it already has
  uint32_t m_point = 0;    // the code point gathered so far
  bool m_stopped = false;
};

// True for a byte a text file may begin with: printable ASCII, tab, line
// feed, carriage return, the first byte of a UTF-8 byte-order mark or of a
// multi-byte character.
bool IsTextStartByte(uint8_t byte);

namespace text_swar {

constexpr uint64_t k01 = 0x0101010101010101, k7F = 0x7F7F7F7F7F7F7F7F, k80 = 0x8080808080808080;

// 8 bytes, byte 0 lowest whatever the machine's order.
inline uint64_t Load(const uint8_t* bytes) {
  uint64_t x = 0;
  std::memcpy(&x, bytes, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}
// Bit 7 of each byte of x that equals value.
inline uint64_t Equals(uint64_t x, uint8_t value) {
  const uint64_t z = x ^ (k01 * value);
  return ~(((z & k7F) + k7F) | z | k7F);
}
// Bit 7 of each byte that is a control byte other than tab, line feed, form
// feed and carriage return, or DEL (bytes with the high bit set excepted).
inline uint64_t Controls(uint64_t x) {
  const uint64_t low = x & k7F;
  const uint64_t high = x & k80;
  const uint64_t below20 = ~((low + 0x6060606060606060) | high) & k80;  // bytes 00-1F
  // Tab, line feed, form feed and carriage return: 09-0D but 0B.
  const uint64_t space = ((low + 0x7777777777777777) & ~(low + 0x7272727272727272) & k80) & ~Equals(x, 0x0B);
  return (below20 & ~space) | Equals(x, 0x7F);
}

}  // namespace text_swar

// A necessary condition for UTF-8 text, on 8 bytes at once (no branch, no
// table): no zero or other control byte but tab, line feed, form feed and
// carriage return, no DEL, every continuation byte after a byte with its
// high bit set, every lead byte (but the last) followed by a continuation
// byte. Random bytes pass about once in a hundred.
inline bool TextPrefixHolds(const uint8_t* bytes) {
  using namespace text_swar;
  const uint64_t x = Load(bytes);
  const uint64_t high = x & k80;
  const uint64_t bit6 = (x << 1) & k80;
  const uint64_t lead = high & bit6;
  const uint64_t continuation = high & ~bit6;
  const uint64_t orphan = continuation & ~(high << 8);
  const uint64_t unfollowed = lead & ~(continuation >> 8) & 0x0080808080808080;
  return ((orphan | unfollowed | Controls(x)) & k80) == 0;
}

// The kind the first bytes of a text show (head: whole text characters,
// the file's first bytes, a byte-order mark included): kSh, kPy, kPl or kJs
// for a script by its "#!" interpreter line; kXml for an element root,
// kHtml for a web page; kJson; kCsv for lines of equal separator counts;
// kIni for "[section]" and "key=value" lines; kC, kCpp, kJava or kJs for
// code of braces, semicolons and their keywords; kPy for Python's
// statements; kTxt for anything else.
FileTypeCode TextKindOf(const uint8_t* head, size_t length);

// True for the codes the plain-text carving answers (kTxt ... kIni; kXml is
// the XML rows' own).
bool IsPlainTextCode(FileTypeCode code);

// True for the extensions carved text is named with (txt, c, py, json,
// xml, ...; any case): files measured by where their text ends, with no
// structure to check.
bool IsTextNamedByContent(std::string_view extension);

}  // namespace engine::signatures
