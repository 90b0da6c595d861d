// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace jobs {

// Bytes of a failed conversion's document shown as its dump.
inline constexpr size_t kDumpHeadBytes = 8192;
// Characters per line of a dump.
inline constexpr size_t kDumpLineCharacters = 1024;

// The character dump of bytes, as the preview pane shows data it cannot
// show otherwise: every byte becomes one character (a zero byte ".", a
// byte of 0x80 or more the Latin-1 character of that value, written in
// UTF-8), and "\r\n" follows every 1,024 characters and ends the text.
// Empty input gives an empty text.
std::string CharacterDump(const uint8_t* data, size_t byteCount);

// The dump of the first kDumpHeadBytes bytes of the file at path. 0, or why
// the file cannot be read (*dump empty).
[[nodiscard]] platform::Status DumpOfFileHead(const std::string& path, std::string* dump);

}  // namespace jobs
