// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace engine::exfat {

// The volume's up-case table: the upper-case form of every UTF-16 code
// unit, used for the name hash of an entry set. On disk it is a list of
// 16-bit values, each the upper case of the next code unit, where 0xFFFF
// followed by n stands for n code units that are their own upper case.
// Plain value.
class UpcaseTable {
 public:
  // Longest table accepted (an uncompressed table is 128 KiB).
  static constexpr size_t kMaxBytes = 2 * 65536 + 2;

  // Takes the table from its bytes. False (and the table stays empty) when
  // the length is odd, 0 or above kMaxBytes, or the table maps past the
  // last code unit.
  [[nodiscard]] bool Load(const uint8_t* bytes, size_t length);
  bool IsLoaded() const { return !m_upper.empty(); }
  char16_t ToUpper(char16_t c) const { return IsLoaded() ? m_upper[c] : c; }
  // The name hash of an entry set: over the up-cased code units, low byte
  // first. REQUIRES: IsLoaded().
  uint16_t NameHash(const char16_t* name, size_t length) const;

 private:
  std::vector<char16_t> m_upper;  // 65536 entries once loaded
};

// The table checksum the up-case table's directory entry holds.
uint32_t UpcaseTableChecksum(const uint8_t* bytes, size_t length);

}  // namespace engine::exfat
