// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/fat/fat_names.h"

namespace engine::fat {

// How a piece of a directory begins, for finding the piece it continues.
enum class PieceHead : uint8_t {
  kOther,            // nothing that ties it to an earlier piece
  kLongName,         // a live long-name entry that is not the first of its name
  kDeletedLongName,  // a deleted long-name entry (its sequence number is lost)
  kLiveShort,        // a live short entry (its name's checksum is known)
  kDeletedShort,     // a deleted short entry (its first name byte is lost)
};

// A name reduced for comparing it with its neighbours in a directory: each
// run of digits is taken out (their value kept) and the rest, letters folded
// to upper case, hashed, so IMG_0129.JPG and IMG_0130.JPG share a stem and
// their numbers differ by one, as do IMG_20240612_101530.jpg and the
// picture taken a few seconds later. stem 0: no name known.
struct NameKey {
  static constexpr size_t kGroups = 3;
  uint32_t stem = 0;
  uint32_t groupCount = 0;                 // runs of digits in the name
  std::array<uint32_t, kGroups> groups{};  // the last kGroups runs' values (each its last 9 digits), in order
  uint64_t number = 0;                     // the name's digits read as one number (its last 18 digits)
};

// The key of a name (UTF-8).
NameKey MakeNameKey(std::string_view name);
// The key of a short entry's 11 name bytes (a deleted entry's first byte reads as "?").
NameKey MakeShortNameKey(const uint8_t* entry);

// One run of adjacent directory sectors handed to the professional FAT
// engine: a directory's first sectors (it begins with "." and ".."), or a
// later part of some directory. Sector numbers are absolute. What the scan
// keeps of it is this summary; the entries are read again when the scan
// finishes.
struct DirectoryPiece {
  uint64_t firstSector = 0;
  uint32_t sectorCount = 0;
  uint32_t ownCluster = 0;      // startsDirectory: the cluster its "." entry names
  uint32_t parentCluster = 0;   // startsDirectory: the cluster its ".." entry names (0: the root)
  uint32_t subfolderFirst = 0;  // its folder entries' clusters, in the log's list
  uint16_t subfolderCount = 0;
  bool startsDirectory = false;
  // No end-of-directory mark (an entry beginning with 0) was met: the
  // directory may go on in another cluster.
  bool tailOpen = true;
  // Another engine lists its entries (a deleted directory the volume's own
  // file system still leads to): it stands for its directory and may be
  // continued, but its files are not listed again.
  bool listedElsewhere = false;

  PieceHead head = PieceHead::kOther;
  uint8_t headSequence = 0;            // kLongName: its sequence number
  uint8_t headChecksum = 0;            // long-name heads: their checksum byte; kLiveShort: its name's checksum
  std::array<uint8_t, 11> headName{};  // kDeletedShort: the entry's name bytes

  // The piece ends inside a long name whose short entry has not come yet.
  bool tailFragment = false;
  bool tailFragmentDeleted = false;  // made of deleted long-name entries (sequence numbers lost)
  uint8_t tailChecksum = 0;
  uint8_t tailNextSequence = 0;  // live fragment: the sequence number the next entry carries (0: the short entry)
  uint16_t tailFirstChar = 0;    // first UTF-16 character of the fragment's last long-name entry

  // Evidence of the order in which the directory was written, for finding
  // the directory a later piece continues: the first and last file or
  // folder entries (their names when whole, their modification times) and
  // the entry with the highest first cluster (what was written last).
  NameKey headKey;             // the first entry whose name is whole in this piece
  NameKey tailKey;             // the last such entry
  uint32_t headTime = 0;       // the first short entry's write date << 16 | time (0: none)
  uint32_t tailTime = 0;       // the last short entry's
  uint32_t lastStart = 0;      // the highest first cluster an entry names (0: none)
  uint32_t lastStartSize = 0;  // that entry's size in bytes

  uint64_t EndSector() const { return firstSector + sectorCount; }
};

// The directory pieces a scan met, in the order they were handed over, with
// a light reading of their entries (where the directory ends, the folder
// entries, the long names at their edges). Memory is bounded by the pieces,
// never by the sectors read: at most kMaxPieces pieces (136 bytes each)
// and kMaxSubfolderRefs folder-entry clusters (4 bytes each); a sector that
// would begin a piece past that bound is counted in DroppedSectors() and
// forgotten. One thread at a time.
class DirectoryPieceLog {
 public:
  static constexpr size_t kMaxPieces = size_t{1} << 20;
  static constexpr size_t kMaxSubfolderRefs = size_t{1} << 22;
  static constexpr uint16_t kMaxSubfoldersPerPiece = 64;

  // A sector that begins a directory whose "." entry names ownCluster and
  // whose ".." names parentCluster: always begins a new piece.
  void AddDirectoryStart(const uint8_t* sector, size_t length, uint64_t absoluteSector, uint32_t ownCluster,
                         uint32_t parentCluster);
  // A directory sector: continues the last piece when it lies right behind
  // it, that piece's directory has not ended and mayContinue is set;
  // otherwise begins a new one.
  void AddDirectorySector(const uint8_t* sector, size_t length, uint64_t absoluteSector, bool mayContinue = true);

  // Pieces begun from now on are listed elsewhere (or not); a sector
  // continues only a piece of the same kind.
  void SetListedElsewhere(bool on) { m_listedElsewhere = on; }

  // Keeps a piece as summarised elsewhere (subfolders: its folder-entry
  // clusters, subfolderCount of them), within the same bounds.
  void AddSummary(const DirectoryPiece& piece, const uint32_t* subfolders);

  const std::vector<DirectoryPiece>& Pieces() const { return m_pieces; }
  const std::vector<uint32_t>& SubfolderClusters() const { return m_subfolders; }
  uint64_t DroppedSectors() const { return m_droppedSectors; }
  void Clear();

 private:
  // Reads the entries of one sector of the last piece into its summary.
  void ReadEntries(DirectoryPiece& piece, const uint8_t* sector, size_t length, bool firstSectorOfPiece);

  // Notes a file or folder entry of the last piece in its summary.
  void TakeShortEntry(DirectoryPiece& piece, const uint8_t* entry);

  std::vector<DirectoryPiece> m_pieces;
  std::vector<uint32_t> m_subfolders;
  uint64_t m_droppedSectors = 0;
  // The long name gathered since the last short entry of the last piece;
  // whole when its first entry on disk holds the name's end.
  LongNameBuffer m_longName;
  bool m_nameWhole = false;
  bool m_firstEntry = false;  // no file or folder entry of the last piece read yet
  bool m_listedElsewhere = false;
  uint8_t m_nameChecksum = 0;
};

// Whether a directory sector may go on where a piece with this tail ends:
// false when its first entry cannot follow the tail's entries (a long name
// left unfinished that it does not finish, or the middle of a long name where
// none was begun). head is the summary of the sector as a piece of its own.
bool EntriesMayFollow(const DirectoryPiece& tail, const DirectoryPiece& head);

// True for the "." and ".." entries' names (a dot, or two, then blanks).
bool IsDotEntryName(const uint8_t* entry);

// Cluster number of a directory entry: (high word << 16) | low word, 28 bits.
uint32_t EntryCluster(const uint8_t* entry);

}  // namespace engine::fat
