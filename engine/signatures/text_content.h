// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
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
