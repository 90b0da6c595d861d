// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/exfat/exfat_bitmap.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"

namespace engine::exfat {

// A deleted file as its entry set describes it.
struct FileClaim {
  int32_t id = 0;           // its record in the store
  uint32_t start = 0;       // first cluster
  uint64_t bytes = 0;       // valid bytes: what is read from the medium
  bool contiguous = false;  // NoFatChain: its clusters followed one another when it lived
  uint64_t created = 0;     // FILETIME; the later of two overlapping files overwrote the other
  std::string extension;
};

// Where a deleted file's valid bytes are taken from.
struct FileLayout {
  int32_t id = 0;
  std::vector<store::DataExtent> runs;  // clusters in file order; empty: from the start onwards
  bool trusted = true;                  // false: no layout of it holds together (it is damaged)
};

// Lays out the deleted files of an exFAT volume over the clusters no one
// else owns: the cluster-ownership view.
//
// Allocated clusters (the bitmap) belong to live streams, the clusters of
// every directory the walk read to that directory. A file whose entry says
// it was contiguous (NoFatChain) lies in the run from its start; it is
// damaged when a cluster of that run is allocated or a directory's, and
// when it overlaps another such file, the one created earlier (or whose
// own structure breaks) was overwritten. A file whose data was chained
// lost its chain with its deletion unless the FAT still holds it: that
// chain is taken when it has exactly the file's length and every cluster
// of it is free and unowned; otherwise the file gets, as a deleted FAT
// file does, its free run when that holds no other file's start, else the
// first layout that holds together by the file's own structure (see
// signatures::CheckFileStructure): its start then the free clusters no one
// claims, or the round-robin layout of files written in turns; a file
// without such a layout keeps its start-and-skip layout and is damaged.
//
// Reads the FAT (through its window) and, for the files whose layout is
// checked, their data. Everything given must outlive this. One thread.
class ExFatLayout {
 public:
  ExFatLayout(ExFatVolume& volume, const ExFatGeometry& geometry, const ExFatBitmap& bitmap, ExFatTable& fat)
      : m_volume(volume), m_geometry(geometry), m_bitmap(bitmap), m_fat(fat) {}

  // Lays out every claim. *out receives the files that are not simply
  // contiguous from their start and trusted. A FAT read error is returned.
  [[nodiscard]] Status Compute(std::vector<FileClaim> claims, const std::unordered_set<uint32_t>& directories,
                               std::vector<FileLayout>* out);

 private:
  struct Candidate {
    std::vector<uint32_t> clusters;
    bool valid = false;
  };
  bool IsFree(uint64_t cluster) const;
  int32_t OwnerOf(uint64_t cluster) const;
  void Own(const std::vector<uint32_t>& clusters, int32_t owner);
  uint64_t ClustersOf(const FileClaim& claim) const;
  int CheckLayout(const FileClaim& claim, const std::vector<uint32_t>& clusters);
  void PlaceContiguousClaims(const std::vector<size_t>& indexes, std::vector<FileLayout>* out);
  [[nodiscard]] Status ChainCandidate(size_t index, Candidate* out);
  void SkipLayout(size_t index, Candidate* out);
  void GroupLayouts(size_t index, const std::vector<size_t>& order, std::vector<size_t>* members,
                    std::vector<Candidate>* out);

  ExFatVolume& m_volume;
  const ExFatGeometry& m_geometry;
  const ExFatBitmap& m_bitmap;
  ExFatTable& m_fat;
  std::vector<FileClaim> m_claims;
  const std::unordered_set<uint32_t>* m_directories = nullptr;
  std::unordered_map<uint32_t, size_t> m_starts;             // start cluster → chained claim
  std::map<uint64_t, std::pair<uint64_t, int32_t>> m_owned;  // first → (last, claim)
  std::vector<bool> m_placed;
};

}  // namespace engine::exfat
