// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/utf.h"

namespace platform {
namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        u = 0xFFFD;
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::string Utf16LeBytesToUtf8(const uint8_t* bytes, size_t byteCount) {
  std::u16string units;
  units.reserve(byteCount / 2);
  for (size_t i = 0; i + 1 < byteCount; i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return Utf16ToUtf8(units);
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    char32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      bool ok = i + len <= text.size();
      for (size_t k = 1; ok && k < len; ++k) ok = IsContinuation(static_cast<unsigned char>(text[i + k]));
      if (ok) {
        cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      } else {
        cp = 0xFFFD;
        len = 1;
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

size_t Utf8BoundaryAtOrBefore(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t n = maxBytes;
  while (n > 0 && IsContinuation(static_cast<unsigned char>(text[n]))) --n;
  return n;
}

size_t CopyUtf8Truncated(std::string_view text, char* dst, size_t capacity) {
  if (capacity == 0) return 0;
  size_t n = Utf8BoundaryAtOrBefore(text, capacity - 1);
  for (size_t i = 0; i < n; ++i) dst[i] = text[i];
  dst[n] = '\0';
  return n;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

}  // namespace platform
