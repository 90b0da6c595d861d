// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace jobs {

// One value for FormatText: a signed or unsigned integer, a floating-point
// number, a UTF-8 text or a character (a drive letter, as a UTF-16 unit).
class TextArg {
 public:
  enum class Kind { kSigned, kUnsigned, kDouble, kText, kCharacter };

  TextArg(int value) : m_kind(Kind::kSigned), m_signed(value) {}
  TextArg(long value) : m_kind(Kind::kSigned), m_signed(value) {}
  TextArg(long long value) : m_kind(Kind::kSigned), m_signed(value) {}
  TextArg(unsigned value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  TextArg(unsigned long value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  TextArg(unsigned long long value) : m_kind(Kind::kUnsigned), m_unsigned(value) {}
  TextArg(double value) : m_kind(Kind::kDouble), m_double(value) {}
  TextArg(std::string_view text) : m_kind(Kind::kText), m_text(text) {}
  TextArg(const std::string& text) : m_kind(Kind::kText), m_text(text) {}
  TextArg(const char* text) : m_kind(Kind::kText), m_text(text != nullptr ? text : "") {}
  // A character given as a UTF-16 code unit (a drive letter).
  static TextArg Character(char16_t unit) {
    TextArg a(0);
    a.m_kind = Kind::kCharacter;
    a.m_unsigned = unit;
    return a;
  }

  Kind kind() const { return m_kind; }
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsDouble() const;
  std::string AsText() const;  // numbers in decimal, a character as UTF-8

 private:
  Kind m_kind;
  int64_t m_signed = 0;
  uint64_t m_unsigned = 0;
  double m_double = 0;
  std::string_view m_text;
};

// printf-style formatting of a format that may come from a language file,
// checked so that a bad translation can never crash or read past its
// arguments. Understood: %% and the conversions d i u x X o c C s S f F e E
// g G, with an argument position "1$" to "9$" (a translation may reorder
// its arguments), flags "-+ 0#", a width and a precision (each at most 3 digits),
// and the size prefixes h hh l ll L z j t I32 I64 (ignored: every argument
// carries its own type). Each conversion takes the next argument and shows
// it in the conversion's form when it can (a number for %s prints in
// decimal, a text for %d prints as text, a number for %c as that
// character). A conversion without an argument left prints nothing. %n, %p,
// "*" widths and anything not understood are copied as they stand.
std::string FormatText(std::string_view format, std::initializer_list<TextArg> args);

}  // namespace jobs
