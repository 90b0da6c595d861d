// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_entries.h"

#include "engine/fat/professional_fat_pieces.h"
#include "engine/fat_dir_entry.h"

namespace engine::fat {
using namespace fat_entry;

namespace {

// Where the 13 characters of a long-name entry lie.
constexpr size_t kNameCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

}  // namespace

bool DirectoryEntryParser::HoldsNameEnd(const uint8_t* e) {
  // A live entry says so by its flag; a deleted one lost its sequence byte,
  // but the entry that holds a name's end holds its terminator or padding.
  if (e[0] != kDeletedMark) return (e[0] & 0x40) != 0;
  for (size_t offset : kNameCharOffsets) {
    const uint16_t c = static_cast<uint16_t>(e[offset] | (e[offset + 1] << 8));
    if (c == 0x0000 || c == 0xFFFF) return true;
  }
  return false;
}

void DirectoryEntryParser::Reset() {
  m_longName.Clear();
  m_wholeName = false;
  m_entrySeen = false;
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
      m_entrySeen = true;
      continue;
    }
    const uint8_t attribute = e[kAttribute];
    const bool deleted = e[0] == kDeletedMark;
    if (attribute == kLongName) {
      // A live entry with the "last" flag starts a name: anything pending is an orphan.
      if (!deleted && (e[0] & 0x40) != 0) m_longName.Clear();
      // Only a run that opens the directory (or the piece of it read first)
      // may have begun elsewhere.
      if (!m_longName.IsPending()) m_wholeName = m_entrySeen || HoldsNameEnd(e);
      m_entrySeen = true;
      if (!m_longName.Prepend(e)) m_longName.Clear();
      m_checksum = e[kLongNameChecksum];
      continue;
    }
    m_entrySeen = true;
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
    // The name's entries must begin with its last one: a run that begins in
    // the middle of a name (its first entries lie elsewhere) is not the name.
    const bool longNameFits = m_longName.IsPending() && m_wholeName && (deleted || ShortNameChecksum(e) == m_checksum);
    if (longNameFits) entry.name = m_longName.ToUtf8();
    if (entry.name.empty()) entry.name = ShortEntryName(e);
    m_longName.Clear();
    if (sink) sink(entry);
  }
  return true;
}

}  // namespace engine::fat
