// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/fat/fat_continuation.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_names.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/item_record.h"
#include "engine/store/scan_store.h"

namespace engine::fat {

// The breadth-first walk of a FAT volume's directory tree, through live and
// deleted folders alike. It records into the store every deleted file and
// every file inside a deleted folder (filed under its folder's key), and at
// the end every folder on the way to a recorded file. It also gathers what
// the layout of deleted files needs: every directory cluster it read and
// every deleted file's start and size.
//
// Every directory is walked at most once (a folder entry that points to a
// directory already walked, such as its own parent, is ignored). A deleted
// folder's claim on a directory whose ".." names another parent waits: a
// live claim met later wins, whatever the walk's order. A directory's
// clusters are followed with loop detection and at most 2 MiB (65,536
// entries, the format's limit) of a directory is read; a deleted
// directory's next clusters are taken while they are free, read as
// directory sectors, begin no other directory and are not claimed by a file.
// The reader, FAT and store must outlive the walk. One thread at a time.
class FatDirectoryWalk {
 public:
  FatDirectoryWalk(VolumeReader& reader, FatTable& fat, store::ScanStore& store, uint16_t driveLetter);

  // Called after each directory; a non-zero return stops the walk.
  using AfterDirectory = std::function<int32_t()>;

  // Walks from the root until no directory is left. Returns 0, the hook's
  // value when it stopped the walk, 8 when the store has no room, or the
  // error that kept the root directory from being read.
  [[nodiscard]] Status WalkAll(const AfterDirectory& afterEach);

  // Checks the first sector of every deleted file the walk recorded
  // against its kind (by extension) and marks the ones that do not match
  // damaged. Reads the sectors in sorted, coalesced pieces. 0 or the
  // store's error.
  [[nodiscard]] Status CheckStarts();

  // Appends a record for every folder that leads to a recorded file and
  // files it under its parent. Returns 0 or 8.
  [[nodiscard]] Status AppendNeededFolders();

  // Folders between the root (depth 0) and directory `cluster`, counted
  // along the walk's own parent links (the tree the store holds).
  uint32_t DirectoryDepth(uint32_t cluster);

  // Key of the root directory: the FAT32 root cluster, or 0.
  uint32_t RootKey() const { return m_rootKey; }
  uint64_t FilesRecorded() const { return m_filesRecorded; }
  // Directory clusters that could not be read (their folders end there).
  uint64_t UnreadableDirectories() const { return m_unreadableDirectories; }
  uint64_t DirectoriesWalked() const { return m_walked.size(); }
  // Times a deleted directory's listing ended at a full cluster whose
  // continuation could not be told (its files from there on are not listed).
  uint64_t FoldersCutOff() const;
  // What the layout of deleted files starts from.
  const std::vector<cluster::ClusterClaim>& Claims() const { return m_claims; }
  const std::unordered_set<uint32_t>& DirectoryClusters() const { return m_directoryClusters; }

 private:
  struct DirectoryState;
  enum class EntryResult { kContinue, kEndDirectory };

  [[nodiscard]] Status WalkDirectory(uint32_t cluster);
  // True when a deleted claim on directory `cluster` should wait: its ".."
  // names another parent than the claim's.
  bool ClaimNamesAnotherParent(uint32_t cluster);
  EntryResult ProcessEntry(DirectoryState& dir, const uint8_t* entry, const uint8_t* next, uint64_t entrySector);
  void RecordFolderEntry(DirectoryState& dir, const uint8_t* entry, std::string name, uint64_t entrySector);
  void RecordFileEntry(DirectoryState& dir, const uint8_t* entry, std::string name, uint64_t entrySector);
  ItemRecord BaseRecord(const uint8_t* entry, std::string_view name, uint32_t locator, uint64_t entrySector) const;
  uint32_t StartCluster(const uint8_t* entry) const;
  // The start cluster of a deleted FAT32 entry whose high word is 0, where
  // a candidate gives positive evidence (a folder's dot pair, a file's
  // plausible start); *found is false when none does.
  uint32_t SearchHighWord(uint16_t lowWord, bool folder, std::string_view extension, bool* found);
  bool IsAllocated(uint32_t cluster);
  // cluster, or when it lies inside the run a deleted file's size claims
  // from its start, the next free cluster past such runs; 0 when none.
  uint32_t SkipClaimedRuns(uint32_t cluster);
  DirectoryEdge EdgeOf(const DirectoryState& dir) const;
  // The one free cluster after `cluster` whose entries show that they go on
  // from where dir's last cluster ended; 0 when none or more than one does.
  uint32_t ShownContinuation(const DirectoryState& dir, uint32_t cluster, const std::unordered_set<uint32_t>& visited);
  [[nodiscard]] Status ReadClusterSector(uint32_t cluster, std::vector<uint8_t>& sector);
  void MarkNeeded(uint32_t directory);
  [[nodiscard]] bool AppendToStore(const ItemRecord& record, int32_t* id);

  VolumeReader& m_reader;
  FatTable& m_fat;
  const FatGeometry& m_geometry;
  store::ScanStore& m_store;
  uint16_t m_driveLetter;
  uint32_t m_rootKey;
  bool m_storeFull = false;
  uint64_t m_unreadableDirectories = 0;
  uint64_t m_filesRecorded = 0;
  std::vector<uint32_t> m_cutOffAt;  // the last cluster of listings that ended full, unfollowed

  std::deque<uint32_t> m_queue;
  std::unordered_set<uint32_t> m_walked;
  // Deleted claims that wait for a live one (see ClaimNamesAnotherParent).
  std::vector<uint32_t> m_deferred;
  // Folder records found so far by start cluster; `id` holds the parent
  // directory's cluster until the record is appended.
  std::unordered_map<uint32_t, ItemRecord> m_folders;
  std::unordered_map<uint32_t, uint32_t> m_depths;
  std::vector<uint32_t> m_needed;
  std::unordered_set<uint32_t> m_neededSet;
  std::vector<cluster::ClusterClaim> m_claims;
  struct StartCheck {
    uint32_t cluster;
    int32_t id;
    std::string extension;
  };
  std::vector<StartCheck> m_startChecks;
  std::unordered_set<uint32_t> m_claimedStarts;
  std::map<uint32_t, uint32_t> m_claimedRuns;  // start → first cluster past the run its size claims
  std::unordered_set<uint32_t> m_directoryClusters;
  ContinuationCandidates m_continuations;
  std::vector<uint8_t> m_unit;
  std::vector<uint8_t> m_sector;
};

}  // namespace engine::fat
