// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"

namespace engine::fat {

// A deleted file as its directory entry describes it: where its data began
// and how long it was. Its chain is gone from the FAT.
struct FileClaim {
  int32_t id = 0;      // its record in the store
  uint32_t start = 0;  // first cluster
  uint64_t size = 0;   // bytes
  std::string extension;
};

// Where a deleted file's data is taken from.
struct FileLayout {
  int32_t id = 0;
  std::vector<store::DataExtent> extents;  // runs of clusters, in file order
  bool trusted = true;                     // false: no layout of it holds together (it is damaged)
};

// Lays out deleted files over the free clusters of a volume.
//
// Which cluster belongs to whom: allocated clusters belong to live files,
// the clusters of every directory the walk read (live or deleted) to that
// directory, and every deleted file claims its start cluster. A file whose
// whole run from its start is free and claimed by no other file is
// contiguous (it keeps the plain chain rule: no layout is given for it).
// The others, in start order, get the first layout that holds together:
// their start then the free clusters no other file claims; or, when other
// deleted files start inside their run at even steps (files written in
// turns, as a camera writes several at once), the round-robin layout of
// that group, chunk by chunk. A layout holds together when the file's own
// structure says so (JPEG, PNG, GIF, TIFF, PSD, ZIP and its kin, PDF; see
// signatures::CheckFileStructure), or, for a kind without one, when it is
// the group layout that another member's structure confirmed. A file
// without such a layout keeps its start-and-skip layout and is untrusted.
//
// Memory: the claims, the directory clusters and the runs handed out (a
// few per file). Reads: the FAT (through its window) and, for the files
// whose layout is checked, their data. The reader and FAT must outlive
// this. One thread at a time.
class FatLayout {
 public:
  FatLayout(VolumeReader& reader, FatTable& fat) : m_reader(reader), m_fat(fat) {}

  // Lays out every claim. *out receives the files that are not simply
  // contiguous and trusted. A FAT read error is returned.
  [[nodiscard]] Status Compute(std::vector<FileClaim> claims, const std::unordered_set<uint32_t>& directories,
                               std::vector<FileLayout>* out);

 private:
  struct Candidate {
    std::vector<uint32_t> clusters;
    bool valid = false;
  };
  [[nodiscard]] Status IsFree(uint32_t cluster, bool* free);
  int32_t OwnerOf(uint32_t cluster) const;
  void Own(const std::vector<uint32_t>& clusters, int32_t owner);
  uint64_t ClustersOf(const FileClaim& claim) const;
  [[nodiscard]] Status SkipLayout(size_t index, Candidate* out);
  // Round-robin layouts of the group that starts with claim `index`; empty
  // when the claims that start inside its run are not evenly spaced.
  [[nodiscard]] Status GroupLayouts(size_t index, std::vector<size_t>* members, std::vector<Candidate>* out);
  int CheckLayout(const FileClaim& claim, const std::vector<uint32_t>& clusters);

  VolumeReader& m_reader;
  FatTable& m_fat;
  std::vector<FileClaim> m_claims;
  const std::unordered_set<uint32_t>* m_directories = nullptr;
  std::unordered_map<uint32_t, size_t> m_starts;             // start cluster → claim
  std::map<uint32_t, std::pair<uint32_t, int32_t>> m_owned;  // first → (last, claim)
  std::vector<bool> m_placed;
};

}  // namespace engine::fat
