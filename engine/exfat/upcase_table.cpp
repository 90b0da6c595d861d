// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/exfat/upcase_table.h"

namespace engine::exfat {
namespace {

constexpr uint16_t kIdentityRun = 0xFFFF;
constexpr size_t kCodeUnits = 65536;

}  // namespace

bool UpcaseTable::Load(const uint8_t* bytes, size_t length) {
  m_upper.clear();
  if (bytes == nullptr || length == 0 || length % 2 != 0 || length > kMaxBytes) return false;
  std::vector<char16_t> upper(kCodeUnits);
  for (size_t i = 0; i < kCodeUnits; ++i) upper[i] = static_cast<char16_t>(i);
  size_t unit = 0;
  const size_t values = length / 2;
  for (size_t i = 0; i < values; ++i) {
    const uint16_t v = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (v == kIdentityRun && i + 1 < values) {
      const uint16_t run = static_cast<uint16_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
      unit += run;
      ++i;
    } else {
      if (unit >= kCodeUnits) return false;
      upper[unit++] = static_cast<char16_t>(v);
    }
    if (unit > kCodeUnits) return false;
  }
  m_upper = std::move(upper);
  return true;
}

uint16_t UpcaseTable::NameHash(const char16_t* name, size_t length) const {
  uint16_t hash = 0;
  for (size_t i = 0; i < length; ++i) {
    const char16_t c = ToUpper(name[i]);
    for (uint8_t byte : {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)}) {
      hash = static_cast<uint16_t>(((hash & 1) != 0 ? 0x8000 : 0) + (hash >> 1) + byte);
    }
  }
  return hash;
}

uint32_t UpcaseTableChecksum(const uint8_t* bytes, size_t length) {
  uint32_t checksum = 0;
  for (size_t i = 0; i < length; ++i) checksum = ((checksum & 1) != 0 ? 0x80000000u : 0) + (checksum >> 1) + bytes[i];
  return checksum;
}

}  // namespace engine::exfat
