// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/display_text.h"

#include "jobs/text_format.h"
#include "jobs/text_source.h"
#include "platform/file_time.h"

namespace jobs {

std::string DurationText(int64_t seconds, const ITextSource* texts) {
  auto format = [texts](std::string_view key, std::string_view fallback) {
    std::string text = texts != nullptr ? texts->Text(kUnitsSection, key) : std::string();
    return text.empty() ? std::string(fallback) : text;
  };
  if (seconds >= 3600) {
    const int64_t hours = seconds / 3600;
    return FormatText(format("Hours", "%d Hour %d Min"),
                      {static_cast<long long>(hours), static_cast<long long>((seconds - 3600 * hours) / 60)});
  }
  if (seconds >= 60) {
    return FormatText(format("Minutes", "%d Min %d Sec"),
                      {static_cast<long long>(seconds / 60), static_cast<long long>(seconds % 60)});
  }
  return FormatText(format("Seconds", "%d Sec"), {static_cast<long long>(seconds)});
}

std::string SizeText(uint64_t bytes) {
  struct Unit {
    uint64_t size;
    const char* name;
  };
  // Binary units, labelled as such, everywhere the program shows a size.
  const Unit units[] = {{1ull << 40, " TiB"}, {1ull << 30, " GiB"}, {1ull << 20, " MiB"}, {1ull << 10, " KiB"}};
  for (const Unit& u : units) {
    if (bytes >= u.size) {
      return FormatText("%.2f", {static_cast<double>(bytes) / static_cast<double>(u.size)}) + u.name;
    }
  }
  return FormatText("%d", {static_cast<unsigned long long>(bytes)}) + " B";
}

std::string FileTimeText(uint64_t fileTime) {
  platform::SystemTime t;
  if (!platform::FileTimeToSystemTime(fileTime, &t)) return {};
  return FormatText("%d-%d-%d %02d:%02d:%02d", {t.year, t.month, t.day, t.hour, t.minute, t.second});
}

std::string_view FileNameOfPath(std::string_view path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

int32_t WeightedPercent(int32_t percent, int32_t weight) {
  return static_cast<int32_t>(static_cast<int64_t>(percent) * weight / 100);
}

std::string PadToWidth(std::string_view text, size_t width) {
  size_t characters = 0;
  for (char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  std::string out(text);
  if (characters < width) out.append(width - characters, ' ');
  return out;
}

std::string EscapeForDisplay(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  auto hex = [&](unsigned char b) {
    out += "\\x";
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      switch (b) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case 0x1B: out += "\\e"; break;
        case '\\': out += "\\\\"; break;
        default:
          if (b < 0x20 || b == 0x7F) {
            hex(b);
          } else {
            out.push_back(static_cast<char>(b));
          }
      }
      ++i;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence is kept, unless it encodes a C1 control.
    size_t length = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    bool valid = length != 0 && i + length <= text.size();
    uint32_t cp = length == 2 ? (b & 0x1F) : length == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; valid && k < length; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      valid = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (valid) {
      const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
      valid = cp >= smallest && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (!valid) {
      hex(b);
      ++i;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      for (size_t k = 0; k < length; ++k) hex(static_cast<unsigned char>(text[i + k]));
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

}  // namespace jobs
