// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/text_decoding.h"

#include "platform/utf.h"

namespace jobs {
namespace {

// Windows-1252's characters for 0x80-0x9F (0: unassigned).
constexpr char16_t kHighControls[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The length of the valid UTF-8 sequence at bytes[i], 0 when it is not one;
// *cut when the bytes end inside an otherwise valid sequence.
size_t Utf8SequenceAt(const uint8_t* bytes, size_t count, size_t i, bool* cut) {
  const uint8_t b = bytes[i];
  if (b < 0x80) return 1;
  size_t length = 0;
  char32_t c = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    c = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    c = b & 0x07;
  } else {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    if (i + k >= count) {
      *cut = true;
      return 0;
    }
    if ((bytes[i + k] & 0xC0) != 0x80) return 0;
    c = (c << 6) | (bytes[i + k] & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (length == 4 && (c < 0x10000 || c > 0x10FFFF))) {
    return 0;
  }
  return length;
}

bool IsValidUtf8(const uint8_t* bytes, size_t count, size_t* usable) {
  size_t i = 0;
  while (i < count) {
    bool cut = false;
    const size_t n = Utf8SequenceAt(bytes, count, i, &cut);
    if (n == 0) {
      if (cut) break;  // the head ends inside the last character
      return false;
    }
    i += n;
  }
  *usable = i;
  return true;
}

// Text has no NUL and at most one control character in 32 besides tab, line feed, form feed and carriage return.
bool LooksLikeText(const uint8_t* bytes, size_t count) {
  size_t controls = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    if (b == 0) return false;
    if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') ++controls;
  }
  return controls * 32 <= count;
}

}  // namespace

std::string Windows1252Character(uint8_t byte) {
  std::string out;
  if (byte >= 0x80 && byte <= 0x9F) {
    const char16_t c = kHighControls[byte - 0x80];
    AppendUtf8(c != 0 ? c : 0xFFFD, &out);
  } else {
    AppendUtf8(byte, &out);
  }
  return out;
}

TextEncoding DecodeText(const uint8_t* bytes, size_t count, std::string* text) {
  text->clear();
  if (bytes == nullptr || count == 0) return TextEncoding::kNone;
  if (count >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    const bool little = bytes[0] == 0xFF;
    std::u16string units;
    for (size_t i = 2; i + 1 < count; i += 2) {
      units.push_back(little ? static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8))
                             : static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]));
    }
    // A cut surrogate pair at the end of the head is left out, not shown as U+FFFD.
    if (!units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF) units.pop_back();
    *text = platform::Utf16ToUtf8(units);
    return little ? TextEncoding::kUtf16Le : TextEncoding::kUtf16Be;
  }
  size_t skip = count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  if (!LooksLikeText(bytes + skip, count - skip)) return TextEncoding::kNone;
  size_t usable = 0;
  if (IsValidUtf8(bytes + skip, count - skip, &usable)) {
    text->assign(reinterpret_cast<const char*>(bytes + skip), usable);
    return TextEncoding::kUtf8;
  }
  for (size_t i = 0; i < count; ++i) text->append(Windows1252Character(bytes[i]));
  return TextEncoding::kWindows1252;
}

}  // namespace jobs
