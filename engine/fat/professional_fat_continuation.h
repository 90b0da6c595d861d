// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/fat/professional_fat_pieces.h"

namespace engine::fat {

// Which directory a directory piece that does not begin with "." and ".."
// continues, judged from what a card keeps of the order it was written in.
// A directory grows when its last cluster is full, into the next free
// cluster: right behind the data of the file written last. So the tail of
// the directory a piece continues
//  - ends a full cluster (no end mark), and a long name it left unfinished
//    is the one the piece's first entries finish (checksum, sequence);
//  - lists only files whose data lies before the piece (it was full when the
//    piece was taken), the last of them ending right before it;
//  - ends with a name the piece's first name follows (IMG_0129, IMG_0130)
//    and a time its first time does not precede.
// Each piece of evidence adds to a score or takes from it; the best scored
// tail wins when it scores at least kContinuationScore and leads every other
// by kContinuationMargin. A piece without such an owner stays lost.
inline constexpr int32_t kContinuationScore = 40;
inline constexpr int32_t kContinuationMargin = 25;
// The tail cannot be continued by the piece (its unfinished long name is not
// the one the piece finishes, or the piece begins inside a long name that no
// tail began).
inline constexpr int32_t kNoContinuation = INT32_MIN / 2;

// Pieces closer than this behind an unfinished long name may continue it
// with a deleted short entry (whose first byte, and so its checksum, is
// lost): 4 MiB of 512-byte sectors.
inline constexpr uint64_t kFragmentReachSectors = 8192;

// A short name made from a long one begins with that name's first letter or
// digit in upper case; other first characters are replaced or skipped.
bool FirstByteMatchesLongName(uint8_t firstByte, uint16_t longNameFirstChar);
// A byte a short name may begin with.
bool IsLegalFirstNameByte(uint8_t b);

// Whether head's first entries finish the long name tail left unfinished
// (tail.tailFragment): same checksum and the next sequence number; a deleted
// short entry, whose first byte is lost, when some first byte gives the
// checksum and matches the long name's first letter, within
// kFragmentReachSectors.
bool CutNameFits(const DirectoryPiece& tail, const DirectoryPiece& head);

// Where head lies as seen from tail's geometry.
struct ContinuationPlace {
  uint32_t headCluster = 0;   // the cluster head begins
  uint64_t clusterBytes = 0;  // 0: unknown (no write-order evidence)
};

// The score of head continuing the directory whose open tail is tail, or
// kNoContinuation.
int32_t ScoreContinuation(const DirectoryPiece& tail, const DirectoryPiece& head, const ContinuationPlace& place);

// Open tails indexed by where their last written file's data ends and by
// their last name, so a piece's candidate owners are found without looking
// at every open tail: at most kNearest of each index.
class ContinuationIndex {
 public:
  static constexpr int kNearest = 16;

  // dataEnd: the sector right behind the data of tail's last written file
  // (0: unknown).
  void Add(int32_t piece, const DirectoryPiece& tail, uint64_t dataEnd);
  void Remove(int32_t piece, const DirectoryPiece& tail, uint64_t dataEnd);
  // Appends to out the tails whose last data ends nearest before head and
  // those whose last name has head's stem and the nearest lower number.
  void Candidates(const DirectoryPiece& head, std::vector<int32_t>& out) const;

 private:
  std::set<std::pair<uint64_t, int32_t>> m_byDataEnd;
  std::set<std::tuple<uint32_t, uint64_t, int32_t>> m_byName;  // (stem, number, piece)
};

}  // namespace engine::fat
