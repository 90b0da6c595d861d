// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/drive_letters.h"

namespace storage {

DriveLetters& DriveLetters::Instance() {
  static DriveLetters instance;
  return instance;
}

uint16_t DriveLetters::LetterFor(const std::string& sourceKey, const std::string& devicePath) {
  std::lock_guard lock(m_mutex);
  auto it = m_letters.find(sourceKey);
  if (it != m_letters.end()) return it->second;
  uint16_t letter = m_next++;
  m_letters.emplace(sourceKey, letter);
  if (!devicePath.empty()) m_devices.emplace(letter, devicePath);
  return letter;
}

std::string DriveLetters::DevicePathOf(uint16_t letter) const {
  std::lock_guard lock(m_mutex);
  auto it = m_devices.find(letter);
  return it == m_devices.end() ? std::string() : it->second;
}

void DriveLetters::Reset() {
  std::lock_guard lock(m_mutex);
  m_letters.clear();
  m_devices.clear();
  m_next = u'C';
}

}  // namespace storage
