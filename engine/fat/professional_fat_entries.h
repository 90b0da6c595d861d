// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/fat/fat_names.h"

namespace engine::fat {

// One file or folder entry of a directory, with its name assembled.
struct ParsedEntry {
  const uint8_t* raw = nullptr;  // the 32-byte short entry; valid during the callback only
  std::string name;              // the long name, or the 8.3 name ("!" for a deleted first byte)
  uint64_t entrySector = 0;      // absolute sector that holds the short entry
  bool deleted = false;
  bool isFolder = false;
  uint32_t cluster = 0;  // (high word << 16) | low word, 28 bits
  uint16_t highWord = 0;
  uint16_t lowWord = 0;
};

// Reads the entries of one directory sector after sector, in directory
// order, and hands every file and folder entry to a callback with its name:
// long names are gathered across sectors (a live short entry takes the long
// name only when the checksum is its own; a deleted one always does; either
// and a run that opens the sectors read since Reset only when it begins with
// the name's last entry, so a name begun in another part of the directory
// gives no name here), the
// "." and ".." entries and volume labels are passed over, invalid entries
// break a long name. A file is any entry that is neither a folder, a long
// name nor a volume label, so files without the archive bit are found too.
// Reading stops at the directory's end mark (an entry beginning with 0).
// One thread at a time.
class DirectoryEntryParser {
 public:
  using Sink = std::function<void(const ParsedEntry&)>;

  // Forgets any long name and a met end mark: a new directory (or a new
  // piece that does not continue the last) begins.
  void Reset();
  // Parses one sector (length bytes) found at absoluteSector. False once the
  // end mark was met; later sectors are then ignored until Reset.
  bool Feed(const uint8_t* sector, size_t length, uint64_t absoluteSector, const Sink& sink);
  bool Ended() const { return m_ended; }

  // True when a long-name entry is the one that holds the end of its name
  // (the first on disk): a live one carries the "last" flag, a deleted one
  // holds the name's terminator or padding.
  static bool HoldsNameEnd(const uint8_t* entry);

 private:
  LongNameBuffer m_longName;
  bool m_wholeName = false;  // the pending name may be taken whole
  bool m_entrySeen = false;  // an entry was read since Reset
  uint8_t m_checksum = 0;
  bool m_ended = false;
};

}  // namespace engine::fat
