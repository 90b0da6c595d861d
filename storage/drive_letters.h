// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace storage {

// Linux has no drive letters, but item records carry one so that every item
// finds its source again. Each partition and each loaded image gets a letter
// for the session, from 'C' upwards in the order they are first seen.
// Thread-safe.
class DriveLetters {
 public:
  static DriveLetters& Instance();

  // The letter of a source key (a partition device, "disk:N@start", or an
  // image path); a new key gets the next free letter. Past 'Z' the letters
  // go on through the following UTF-16 code units.
  uint16_t LetterFor(const std::string& sourceKey, const std::string& devicePath = {});
  // Block device behind a letter, or empty (images, partitions of image files).
  std::string DevicePathOf(uint16_t letter) const;
  void Reset();

 private:
  mutable std::mutex m_mutex;
  std::map<std::string, uint16_t> m_letters;
  std::map<uint16_t, std::string> m_devices;
  uint16_t m_next = u'C';
};

}  // namespace storage
