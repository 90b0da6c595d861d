// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/text_format.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <vector>

#include "jobs/text_source.h"
#include "platform/utf.h"

namespace jobs {
namespace {

constexpr int kMaxDigits = 3;  // width and precision stay below 1000

std::string Utf8OfCodePoint(uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  std::u16string units;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    units.push_back(static_cast<char16_t>(cp));
  }
  return platform::Utf16ToUtf8(units);
}

// Number of UTF-8 characters in text (bytes that do not continue a character).
size_t CharacterCount(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

struct FieldFormat {
  int position = 0;  // "%2$s": the second argument; 0 for the next one
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

// Pads text to the width (counted in characters), left or right.
std::string Pad(std::string text, const FieldFormat& field) {
  if (field.width < 0) return text;
  const size_t count = CharacterCount(text);
  if (count >= static_cast<size_t>(field.width)) return text;
  const std::string fill(static_cast<size_t>(field.width) - count, ' ');
  return field.flags.find('-') != std::string::npos ? text + fill : fill + text;
}

// snprintf with a format we build from checked pieces only: the flags a
// conversion defines (others would be undefined behaviour), a bounded width
// and precision, and the length prefix that matches the value's type.
template <typename T>
std::string Printf(const FieldFormat& field, const char* lengthPrefix, char conversion, T value) {
  const std::string_view allowed = (conversion == 'd')                                                   ? "-+ 0"
                                   : std::string_view("uxXo").find(conversion) != std::string_view::npos ? "-0#"
                                                                                                         : "-+ 0#";
  std::string format = "%";
  for (char f : field.flags) {
    if (allowed.find(f) != std::string_view::npos) format.push_back(f);
  }
  if (field.width >= 0) format += std::to_string(field.width);
  if (field.precision >= 0) format += "." + std::to_string(field.precision);
  format += lengthPrefix;
  format.push_back(conversion);
  char buffer[1100];
  const int n = std::snprintf(buffer, sizeof buffer, format.c_str(), value);
  if (n < 0) return {};
  return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

std::string Convert(const FieldFormat& field, const TextArg& arg) {
  switch (field.conversion) {
    case 'd':
    case 'i':
      if (arg.kind() == TextArg::Kind::kText) return Pad(arg.AsText(), field);
      return Printf(field, "ll", 'd', static_cast<long long>(arg.AsSigned()));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (arg.kind() == TextArg::Kind::kText) return Pad(arg.AsText(), field);
      return Printf(field, "ll", field.conversion, static_cast<unsigned long long>(arg.AsUnsigned()));
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G': {
      if (arg.kind() == TextArg::Kind::kText) return Pad(arg.AsText(), field);
      const double v = arg.AsDouble();
      return Printf(field, "", field.conversion, std::isfinite(v) ? v : 0.0);
    }
    case 'c':
    case 'C': {
      std::string text = arg.kind() == TextArg::Kind::kText ? arg.AsText().substr(0, 1)
                                                            : Utf8OfCodePoint(static_cast<uint32_t>(arg.AsUnsigned()));
      return Pad(text, field);
    }
    case 's':
    case 'S': {
      std::string text = arg.AsText();
      if (field.precision >= 0 && CharacterCount(text) > static_cast<size_t>(field.precision)) {
        size_t chars = 0, i = 0;
        for (; i < text.size(); ++i) {
          if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == static_cast<size_t>(field.precision)) break;
            ++chars;
          }
        }
        text.resize(i);
      }
      return Pad(text, field);
    }
    default: return {};
  }
}

// Reads up to kMaxDigits digits at format[*i]; -1 when there are none, -2 when there are too many.
int ReadNumber(std::string_view format, size_t* i) {
  int value = -1, digits = 0;
  while (*i < format.size() && format[*i] >= '0' && format[*i] <= '9') {
    if (++digits > kMaxDigits) return -2;
    value = (value < 0 ? 0 : value * 10) + (format[*i] - '0');
    ++*i;
  }
  return value;
}

// Parses the conversion starting at format[start] == '%'. Returns the index
// after it, or npos when it is not one we understand.
size_t ParseSpec(std::string_view format, size_t start, FieldFormat* field) {
  size_t i = start + 1;
  // A position "N$" (1 to 9) lets a translation put the arguments in its own order.
  if (i + 1 < format.size() && format[i] >= '1' && format[i] <= '9' && format[i + 1] == '$') {
    field->position = format[i] - '0';
    i += 2;
  }
  while (i < format.size() && std::string_view("-+ 0#").find(format[i]) != std::string_view::npos) {
    if (field->flags.size() >= 5) return std::string_view::npos;
    field->flags.push_back(format[i++]);
  }
  field->width = ReadNumber(format, &i);
  if (field->width == -2) return std::string_view::npos;
  if (i < format.size() && format[i] == '.') {
    ++i;
    field->precision = ReadNumber(format, &i);
    if (field->precision == -2) return std::string_view::npos;
    if (field->precision < 0) field->precision = 0;
  }
  // Size prefixes carry no meaning here: every argument knows its own type.
  if (format.substr(i, 3) == "I64" || format.substr(i, 3) == "I32") {
    i += 3;
  } else {
    while (i < format.size() && std::string_view("hlLzjtq").find(format[i]) != std::string_view::npos &&
           i - start < 8) {
      ++i;
    }
  }
  if (i >= format.size()) return std::string_view::npos;
  const char c = format[i];
  if (std::string_view("diuxXocCsSfFeEgG").find(c) == std::string_view::npos) return std::string_view::npos;
  field->conversion = c;
  return i + 1;
}

}  // namespace

int64_t TextArg::AsSigned() const {
  switch (m_kind) {
    case Kind::kSigned: return m_signed;
    case Kind::kUnsigned:
    case Kind::kCharacter: return static_cast<int64_t>(m_unsigned);
    case Kind::kDouble:
      return std::isfinite(m_double) && std::fabs(m_double) < 9.2e18 ? static_cast<int64_t>(m_double) : 0;
    case Kind::kText: return 0;
  }
  return 0;
}

uint64_t TextArg::AsUnsigned() const {
  switch (m_kind) {
    case Kind::kSigned: return static_cast<uint64_t>(m_signed);
    case Kind::kUnsigned:
    case Kind::kCharacter: return m_unsigned;
    case Kind::kDouble:
      return std::isfinite(m_double) && m_double >= 0 && m_double < 1.8e19 ? static_cast<uint64_t>(m_double) : 0;
    case Kind::kText: return 0;
  }
  return 0;
}

double TextArg::AsDouble() const {
  switch (m_kind) {
    case Kind::kSigned: return static_cast<double>(m_signed);
    case Kind::kUnsigned:
    case Kind::kCharacter: return static_cast<double>(m_unsigned);
    case Kind::kDouble: return m_double;
    case Kind::kText: return 0;
  }
  return 0;
}

std::string TextArg::AsText() const {
  switch (m_kind) {
    case Kind::kSigned: return std::to_string(m_signed);
    case Kind::kUnsigned: return std::to_string(m_unsigned);
    case Kind::kDouble: {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%g", std::isfinite(m_double) ? m_double : 0.0);
      return buffer;
    }
    case Kind::kText: return std::string(m_text);
    case Kind::kCharacter: return Utf8OfCodePoint(static_cast<uint32_t>(m_unsigned));
  }
  return {};
}

std::string FormatText(std::string_view format, std::initializer_list<TextArg> args) {
  std::string out;
  out.reserve(format.size() + 16);
  auto next = args.begin();
  size_t i = 0;
  while (i < format.size()) {
    const size_t percent = format.find('%', i);
    if (percent == std::string_view::npos) {
      out.append(format.substr(i));
      break;
    }
    out.append(format.substr(i, percent - i));
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      out.push_back('%');
      i = percent + 2;
      continue;
    }
    FieldFormat field;
    const size_t end = ParseSpec(format, percent, &field);
    if (end == std::string_view::npos) {
      out.push_back('%');  // not a conversion we know: shown as it stands
      i = percent + 1;
      continue;
    }
    if (field.position > 0) {
      if (static_cast<size_t>(field.position) <= args.size()) out += Convert(field, *(args.begin() + field.position - 1));
    } else if (next != args.end()) {
      out += Convert(field, *next++);
    }
    i = end;
  }
  return out;
}

std::string MessageText(const ITextSource* texts, std::string_view key) {
  return texts != nullptr ? texts->Text(kMessagesSection, key) : std::string();
}

}  // namespace jobs
