// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_entries.h"

#include "engine/fat/professional_fat_pieces.h"
#include "engine/fat_dir_entry.h"

namespace engine::fat {
using namespace fat_entry;

void DirectoryEntryParser::Reset() {
  m_longName.Clear();
  m_checksum = 0;
  m_ended = false;
}

bool DirectoryEntryParser::Feed(const uint8_t* sector, size_t length, uint64_t absoluteSector, const Sink& sink) {
  if (m_ended || sector == nullptr) return !m_ended;
  const size_t count = length / kBytes;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = sector + i * kBytes;
    if (e[0] == 0) {
      m_ended = true;
      m_longName.Clear();
      return false;
    }
    const uint8_t* next = i + 1 < count ? e + kBytes : nullptr;
    if (!IsValidDirEntry(e, next)) {
      m_longName.Clear();
      continue;
    }
    const uint8_t attribute = e[kAttribute];
    const bool deleted = e[0] == kDeletedMark;
    if (attribute == kLongName) {
      // A live entry with the "last" flag starts a name: anything pending is an orphan.
      if (!deleted && (e[0] & 0x40) != 0) m_longName.Clear();
      if (!m_longName.Prepend(e)) m_longName.Clear();
      m_checksum = e[kLongNameChecksum];
      continue;
    }
    if ((attribute & kVolumeLabel) != 0 || IsDotEntryName(e)) {
      m_longName.Clear();
      continue;
    }
    ParsedEntry entry;
    entry.raw = e;
    entry.deleted = deleted;
    entry.isFolder = (attribute & kDirectory) != 0;
    entry.entrySector = absoluteSector;
    entry.highWord = static_cast<uint16_t>(e[kClusterHigh] | (e[kClusterHigh + 1] << 8));
    entry.lowWord = static_cast<uint16_t>(e[kClusterLow] | (e[kClusterLow + 1] << 8));
    entry.cluster = EntryCluster(e);
    const bool longNameFits = m_longName.IsPending() && (deleted || ShortNameChecksum(e) == m_checksum);
    if (longNameFits) entry.name = m_longName.ToUtf8();
    if (entry.name.empty()) entry.name = ShortEntryName(e);
    m_longName.Clear();
    if (sink) sink(entry);
  }
  return true;
}

}  // namespace engine::fat
