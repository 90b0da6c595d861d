// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace engine::fat {

// The 8.3 name of a short entry as UTF-8: the base name without its trailing
// blanks, then "." and the extension when the extension is not blank, A-Z
// lower-cased. Bytes of 0x80 and above are code page 437 characters; a
// first byte 0x05 stands for 0xE5, and a deleted entry's first byte shows as
// "!". REQUIRES: entry holds 32 bytes.
std::string ShortEntryName(const uint8_t* entry);

// Code page 437 byte to its Unicode character (bytes below 0x80 are ASCII).
char32_t Cp437ToUnicode(uint8_t byte);

// A long name being gathered from its long-name entries, which stand in
// front of their short entry in reverse order: each entry's 13 UTF-16
// characters go in front of what is held. Room for 260 characters (20
// entries, the longest name the format allows).
class LongNameBuffer {
 public:
  static constexpr size_t kCapacity = 260;
  static constexpr size_t kCharsPerEntry = 13;

  // Puts the entry's characters in front. False when there is no room for
  // them (a 21st entry): the caller treats the directory as damaged.
  [[nodiscard]] bool Prepend(const uint8_t* entry);
  void Clear() { m_used = 0; }
  bool IsPending() const { return m_used != 0; }
  // The name up to its terminator, as UTF-8.
  std::string ToUtf8() const;

 private:
  char16_t m_chars[kCapacity] = {};
  size_t m_used = 0;  // characters held, at the end of m_chars
};

}  // namespace engine::fat
