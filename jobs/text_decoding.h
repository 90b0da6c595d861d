// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace jobs {

// How the bytes of a file read as text.
enum class TextEncoding { kNone, kUtf8, kUtf16Le, kUtf16Be, kWindows1252 };

// Reads bytes (the head of a file, possibly cut mid-character at its end)
// as text, into UTF-8: a UTF-16 file by its byte-order mark; UTF-8 (with or
// without its mark) when every sequence is valid; else Windows-1252 when
// the bytes look like text (no NUL, few control characters). kNone, with
// *text empty, for data that is no text. A byte-order mark is not part of
// the text.
TextEncoding DecodeText(const uint8_t* bytes, size_t byteCount, std::string* text);

// The character of a Windows-1252 byte, in UTF-8 (0x80-0x9F are the
// typographic characters that code page places there; bytes it leaves
// unassigned become U+FFFD; the rest are Latin-1).
std::string Windows1252Character(uint8_t byte);

}  // namespace jobs
