// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/professional_fat_pieces.h"

#include <algorithm>
#include <cstring>

#include "engine/byte_view.h"
#include "engine/fat/professional_fat_entries.h"
#include "engine/fat_dir_entry.h"

namespace engine::fat {
namespace {

using namespace fat_entry;

constexpr uint8_t kLastLongNameFlag = 0x40;
constexpr uint8_t kSequenceMask = 0x1F;

uint16_t FirstChar(const uint8_t* e) {
  return static_cast<uint16_t>(e[1] | (e[2] << 8));
}

uint32_t WriteTime(const uint8_t* e) {
  return static_cast<uint32_t>(e[kWriteDate] | (e[kWriteDate + 1] << 8)) << 16 |
         static_cast<uint32_t>(e[kWriteTime] | (e[kWriteTime + 1] << 8));
}

constexpr uint64_t kNumberModulus = 1000000000000000000ull;  // keeps the last 18 digits

}  // namespace

NameKey MakeNameKey(std::string_view name) {
  NameKey key;
  uint32_t hash = 2166136261u;  // FNV-1a
  bool inDigits = false;
  for (const char ch : name) {
    const auto c = static_cast<uint8_t>(ch);
    if (c >= '0' && c <= '9') {
      key.number = (key.number * 10 + (c - '0')) % kNumberModulus;
      if (!inDigits) {
        inDigits = true;
        hash = (hash ^ '#') * 16777619u;
        if (key.groupCount >= NameKey::kGroups) {
          std::copy(key.groups.begin() + 1, key.groups.end(), key.groups.begin());
        }
        ++key.groupCount;
        key.groups[std::min<size_t>(key.groupCount, NameKey::kGroups) - 1] = 0;
      }
      uint32_t& group = key.groups[std::min<size_t>(key.groupCount, NameKey::kGroups) - 1];
      group = (group * 10 + static_cast<uint32_t>(c - '0')) % 1000000000u;
      continue;
    }
    inDigits = false;
    const uint8_t folded = c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c;
    hash = (hash ^ folded) * 16777619u;
  }
  key.stem = hash == 0 ? 1 : hash;
  return key;
}

NameKey MakeShortNameKey(const uint8_t* e) {
  char text[12];
  size_t n = 0;
  for (size_t i = 0; i < 8 && e[i] != ' '; ++i)
    text[n++] = i == 0 && e[0] == kDeletedMark ? '?' : static_cast<char>(e[i]);
  if (e[8] != ' ') {
    text[n++] = '.';
    for (size_t i = 8; i < 11 && e[i] != ' '; ++i) text[n++] = static_cast<char>(e[i]);
  }
  return MakeNameKey(std::string_view(text, n));
}

bool IsDotEntryName(const uint8_t* e) {
  if (e[0] != '.') return false;
  const size_t from = e[1] == '.' ? 2 : 1;
  for (size_t i = from; i < 11; ++i) {
    if (e[i] != ' ') return false;
  }
  return true;
}

bool EntriesMayFollow(const DirectoryPiece& tail, const DirectoryPiece& head) {
  if (tail.tailFragment) {
    switch (head.head) {
      case PieceHead::kLongName:
        return !tail.tailFragmentDeleted && head.headChecksum == tail.tailChecksum &&
               head.headSequence == tail.tailNextSequence;
      case PieceHead::kDeletedLongName: return head.headChecksum == tail.tailChecksum;
      case PieceHead::kLiveShort:
        return (tail.tailFragmentDeleted || tail.tailNextSequence == 0) && head.headChecksum == tail.tailChecksum;
      case PieceHead::kDeletedShort: return tail.tailFragmentDeleted || tail.tailNextSequence == 0;
      case PieceHead::kOther: return false;
    }
    return false;
  }
  // Nothing unfinished: the sector must not begin inside a long name.
  return head.head != PieceHead::kLongName;
}

uint32_t EntryCluster(const uint8_t* e) {
  const uint32_t high = static_cast<uint32_t>(e[kClusterHigh] | (e[kClusterHigh + 1] << 8));
  const uint32_t low = static_cast<uint32_t>(e[kClusterLow] | (e[kClusterLow + 1] << 8));
  return ((high << 16) | low) & 0x0FFFFFFF;
}

void DirectoryPieceLog::Clear() {
  m_pieces.clear();
  m_pieces.shrink_to_fit();
  m_subfolders.clear();
  m_subfolders.shrink_to_fit();
  m_droppedSectors = 0;
  m_listedElsewhere = false;
}

void DirectoryPieceLog::AddDirectoryStart(const uint8_t* sector, size_t length, uint64_t absoluteSector,
                                          uint32_t ownCluster, uint32_t parentCluster) {
  if (sector == nullptr || length < 2 * kBytes) return;
  if (m_pieces.size() >= kMaxPieces) {
    ++m_droppedSectors;
    return;
  }
  DirectoryPiece piece;
  piece.firstSector = absoluteSector;
  piece.sectorCount = 1;
  piece.startsDirectory = true;
  piece.listedElsewhere = m_listedElsewhere;
  piece.ownCluster = ownCluster;
  piece.parentCluster = parentCluster;
  piece.subfolderFirst = static_cast<uint32_t>(m_subfolders.size());
  m_pieces.push_back(piece);
  ReadEntries(m_pieces.back(), sector, length, true);
}

void DirectoryPieceLog::AddDirectorySector(const uint8_t* sector, size_t length, uint64_t absoluteSector,
                                           bool mayContinue) {
  if (sector == nullptr || length < kBytes) return;
  if (!m_pieces.empty() && mayContinue) {
    DirectoryPiece& last = m_pieces.back();
    if (last.tailOpen && last.EndSector() == absoluteSector && last.sectorCount < UINT32_MAX &&
        last.listedElsewhere == m_listedElsewhere) {
      ++last.sectorCount;
      ReadEntries(last, sector, length, false);
      return;
    }
  }
  if (m_pieces.size() >= kMaxPieces) {
    ++m_droppedSectors;
    return;
  }
  DirectoryPiece piece;
  piece.firstSector = absoluteSector;
  piece.sectorCount = 1;
  piece.listedElsewhere = m_listedElsewhere;
  piece.subfolderFirst = static_cast<uint32_t>(m_subfolders.size());
  m_pieces.push_back(piece);
  ReadEntries(m_pieces.back(), sector, length, true);
}

void DirectoryPieceLog::AddSummary(const DirectoryPiece& piece, const uint32_t* subfolders) {
  if (m_pieces.size() >= kMaxPieces) {
    m_droppedSectors += piece.sectorCount;
    return;
  }
  DirectoryPiece copy = piece;
  copy.subfolderFirst = static_cast<uint32_t>(m_subfolders.size());
  copy.subfolderCount = 0;
  for (uint16_t i = 0; subfolders != nullptr && i < piece.subfolderCount && m_subfolders.size() < kMaxSubfolderRefs;
       ++i) {
    m_subfolders.push_back(subfolders[i]);
    ++copy.subfolderCount;
  }
  m_pieces.push_back(copy);
}

void DirectoryPieceLog::TakeShortEntry(DirectoryPiece& piece, const uint8_t* e) {
  const bool deleted = e[0] == kDeletedMark;
  NameKey key;
  if (m_longName.IsPending()) {
    // A live short entry takes only its own long name; a deleted one lost
    // the first byte its checksum covers.
    if (m_nameWhole && (deleted || ShortNameChecksum(e) == m_nameChecksum)) key = MakeNameKey(m_longName.ToUtf8());
  } else if (!m_firstEntry || std::memchr(e, '~', 8) == nullptr) {
    // A piece that begins with a short name made from a long one holds the
    // end of a name cut at its edge: the long name is elsewhere.
    key = MakeShortNameKey(e);
  }
  m_longName.Clear();
  m_nameWhole = true;
  m_firstEntry = false;
  if (key.stem != 0) {
    if (piece.headKey.stem == 0) piece.headKey = key;
    piece.tailKey = key;
  }
  const uint32_t time = WriteTime(e);
  if (piece.headTime == 0) piece.headTime = time;
  piece.tailTime = time;
  const uint32_t cluster = EntryCluster(e);
  if (cluster >= 2 && cluster >= piece.lastStart) {
    piece.lastStart = cluster;
    piece.lastStartSize = (e[kAttribute] & kDirectory) != 0 ? 0 : ByteView(e, kBytes).U32(kSize);
  }
}

void DirectoryPieceLog::ReadEntries(DirectoryPiece& piece, const uint8_t* sector, size_t length,
                                    bool firstSectorOfPiece) {
  if (firstSectorOfPiece) {
    // A long name begun in an earlier piece is not whole here (its first
    // entry does not hold the name's end); a short entry met first is read
    // as its own name.
    m_longName.Clear();
    m_nameWhole = true;
    m_firstEntry = true;
  }
  const size_t count = length / kBytes;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = sector + i * kBytes;
    const uint8_t* next = i + 1 < count ? e + kBytes : nullptr;
    if (e[0] == 0) {
      // The end of the directory: nothing of it lies in another cluster.
      piece.tailOpen = false;
      piece.tailFragment = false;
      return;
    }
    const bool valid = IsValidDirEntry(e, next);
    const uint8_t attribute = e[kAttribute];
    const bool deleted = e[0] == kDeletedMark;
    if (firstSectorOfPiece && i == 0 && !piece.startsDirectory && valid) {
      if (attribute == kLongName) {
        if (deleted) {
          piece.head = PieceHead::kDeletedLongName;
        } else if ((e[0] & kLastLongNameFlag) == 0) {
          piece.head = PieceHead::kLongName;
          piece.headSequence = e[0] & kSequenceMask;
        }
        piece.headChecksum = e[kLongNameChecksum];
      } else if ((attribute & kVolumeLabel) == 0 && !IsDotEntryName(e)) {
        piece.head = deleted ? PieceHead::kDeletedShort : PieceHead::kLiveShort;
        std::memcpy(piece.headName.data(), e, 11);
        piece.headChecksum = ShortNameChecksum(e);
      }
    }
    if (!valid) {
      piece.tailFragment = false;
      m_longName.Clear();
      m_nameWhole = true;
      continue;
    }
    if (attribute == kLongName) {
      const uint8_t checksum = e[kLongNameChecksum];
      if (!m_longName.IsPending()) m_nameWhole = DirectoryEntryParser::HoldsNameEnd(e);
      if (!m_longName.Prepend(e)) {
        m_longName.Clear();
        m_nameWhole = false;
      }
      m_nameChecksum = checksum;
      if (deleted) {
        piece.tailFragment = true;
        piece.tailFragmentDeleted = true;
        piece.tailNextSequence = 0;
      } else {
        const uint8_t sequence = e[0] & kSequenceMask;
        const bool continues = piece.tailFragment && !piece.tailFragmentDeleted && piece.tailChecksum == checksum &&
                               piece.tailNextSequence == sequence && (e[0] & kLastLongNameFlag) == 0;
        if (!continues) {
          piece.tailFragment = true;
          piece.tailFragmentDeleted = false;
        }
        piece.tailNextSequence = sequence > 0 ? static_cast<uint8_t>(sequence - 1) : 0;
      }
      piece.tailChecksum = checksum;
      piece.tailFirstChar = FirstChar(e);
      continue;
    }
    piece.tailFragment = false;
    if ((attribute & kVolumeLabel) != 0 || IsDotEntryName(e)) {
      m_longName.Clear();
      m_nameWhole = true;
    } else {
      TakeShortEntry(piece, e);
    }
    if ((attribute & kDirectory) != 0 && !IsDotEntryName(e)) {
      const uint32_t cluster = EntryCluster(e);
      if (cluster >= 2 && piece.subfolderCount < kMaxSubfoldersPerPiece && m_subfolders.size() < kMaxSubfolderRefs &&
          piece.subfolderFirst + piece.subfolderCount == m_subfolders.size()) {
        m_subfolders.push_back(cluster);
        ++piece.subfolderCount;
      }
    }
  }
}

}  // namespace engine::fat
