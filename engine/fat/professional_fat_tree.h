// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <vector>

#include "engine/fat/professional_fat_continuation.h"
#include "engine/fat/professional_fat_geometry.h"
#include "engine/fat/professional_fat_pieces.h"

namespace engine::fat {

// Where each directory piece belongs, decided when the scan finishes.
struct PieceOwnership {
  static constexpr int32_t kRoot = -1;  // owner: the volume's root directory
  static constexpr int32_t kNone = -1;  // prev / geometry: none

  struct Entry {
    // The piece that owns the directory this piece is part of: a piece that
    // begins a directory (its own index for such a piece), kRoot, or the
    // first piece of a lost run (its own index when it is that first piece).
    int32_t owner = kRoot;
    int32_t prev = kNone;      // the piece this one continues in directory order
    int32_t geometry = kNone;  // index in the geometry list
    bool isDirectory = false;  // begins a directory (the one piece that stands for its cluster)
    bool isLost = false;       // first piece of a run whose directory is unknown
  };

  std::vector<Entry> entries;    // by piece index
  std::vector<uint32_t> votes;   // by geometry: directories it places
  std::vector<int32_t> byVotes;  // geometry indices, most votes first (ties: list order)
};

// Decides, for every piece, the geometry it lies in and the directory it
// belongs to:
//  - every geometry gets a vote from each directory start it places; a
//    directory start takes the placing geometry with the most votes (the one
//    the found directories agree on, so a stale boot sector listed first
//    does not win); of two starts naming one cluster the better placed one
//    stands for the directory;
//  - a piece inside a geometry's FAT12/16 root area, or at a FAT32 boot
//    sector's root cluster, belongs to the root;
//  - any other piece, taken in sector order, belongs to the directory that
//    the ".." entries of its subfolders name (most of them); else continues
//    (on a cluster boundary of that piece's geometry) an earlier piece whose
//    directory had not ended, chosen by ScoreContinuation among the
//    candidates: every open tail while there are few, else the nearest of
//    the continuation index and of the unfinished long names of the piece's
//    checksum; else is lost. A lost folder is better than a wrong one.
//    Without scoring (scoreContinuations false, for measuring) a piece
//    continues the one earlier piece whose unfinished long name its first
//    entry completes, else the only open one.
// sectorSize: the bytes of the sectors the pieces count.
// A piece's directory "has not ended" when no end mark was met and it ends
// on a cluster boundary. Time and memory grow with the pieces only.
PieceOwnership AssignPieceOwners(const std::vector<DirectoryPiece>& pieces, const std::vector<uint32_t>& subfolders,
                                 const FatGeometryList& geometries, uint32_t sectorSize,
                                 bool scoreContinuations = true);

}  // namespace engine::fat
