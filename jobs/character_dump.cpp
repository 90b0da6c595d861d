// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/character_dump.h"

#include "platform/raw_file.h"

namespace jobs {

std::string CharacterDump(const uint8_t* data, size_t byteCount) {
  std::string text;
  if (data == nullptr || byteCount == 0) return text;
  text.reserve(byteCount + byteCount / 4 + 2 * (byteCount / kDumpLineCharacters + 1));
  for (size_t i = 0; i < byteCount; ++i) {
    const uint8_t b = data[i];
    if (b == 0) {
      text.push_back('.');
    } else if (b < 0x80) {
      text.push_back(static_cast<char>(b));
    } else {
      text.push_back(static_cast<char>(0xC0 | (b >> 6)));
      text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
    if ((i + 1) % kDumpLineCharacters == 0 || i + 1 == byteCount) text.append("\r\n");
  }
  return text;
}

platform::Status DumpOfFileHead(const std::string& path, std::string* dump) {
  dump->clear();
  std::string head;
  if (platform::Status s = platform::ReadWholeFile(path, &head, kDumpHeadBytes); s != platform::kStatusOk) return s;
  *dump = CharacterDump(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  return platform::kStatusOk;
}

}  // namespace jobs
