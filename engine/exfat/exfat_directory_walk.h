// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/exfat/exfat_bitmap.h"
#include "engine/exfat/exfat_data_copy.h"
#include "engine/exfat/exfat_entry_set.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_layout.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/exfat/upcase_table.h"
#include "engine/item_record.h"
#include "engine/store/scan_store.h"

namespace engine::exfat {

// Where a directory's entries are: its first cluster and, for a
// subdirectory, its length and whether it is chained in the FAT.
struct DirectoryStream {
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;  // 0: unknown (the root), read to its chain's end
  bool noFatChain = false;
};

// The breadth-first walk of an exFAT volume's directory tree, through live
// and deleted folders alike. It records into the store every deleted file
// and every file inside a deleted folder (filed under its folder's key,
// FolderKey(depth, first cluster)), and at the end every folder on the way
// to a recorded file, as the fast FAT engine does. Live folders are walked
// before deleted ones, so a directory that a live entry and a deleted one
// both name belongs to the live one; every directory is walked once.
//
// A directory is read along its FAT chain, or as the run its entry gives
// (NoFatChain); a deleted directory's chain is gone, so it is read as a run
// from its first cluster, taking the FAT's chain only where it still has
// the directory's length, and stopping at a cluster that is allocated to
// someone else now. At most 256 MiB (the format's limit) of a directory is
// read, and no more than up to its end-of-directory entry. Entry sets are
// taken as ParseEntrySet finds them: a set whose checksum fails is recorded
// as damaged when its name hash holds (or no up-case table is known) and
// skipped when it does not. The walk gathers what the layout of deleted
// files needs: every directory cluster it read and every deleted file's
// claim. Everything given must outlive the walk. One thread at a time.
class ExFatDirectoryWalk {
 public:
  ExFatDirectoryWalk(ExFatVolume& volume, const ExFatGeometry& geometry, ExFatTable& fat, const ExFatBitmap& bitmap,
                     const UpcaseTable& upcase, store::ScanStore& store, uint16_t driveLetter);

  // Called after each directory; a non-zero return stops the walk.
  using AfterDirectory = std::function<int32_t()>;

  // Walks from the root until no directory is left. Returns 0, the hook's
  // value when it stopped the walk, 8 when the store has no room, or the
  // error that kept the root directory from being read.
  [[nodiscard]] Status WalkAll(const AfterDirectory& afterEach);
  // Appends a record for every folder that leads to a recorded file and
  // files it under its parent. Returns 0 or 8.
  [[nodiscard]] Status AppendNeededFolders();

  uint64_t FilesRecorded() const { return m_filesRecorded; }
  // Directory clusters that could not be read (their folders end there).
  uint64_t UnreadableDirectories() const { return m_unreadableDirectories; }
  uint64_t DirectoriesWalked() const { return m_walked.size(); }
  const std::vector<cluster::ClusterClaim>& Claims() const { return m_claims; }
  const std::unordered_set<uint32_t>& DirectoryClusters() const { return m_directoryClusters; }
  // The layouts the walk already knows (live files chained in the FAT,
  // valid lengths shorter than the size), by record id.
  const std::unordered_map<int32_t, ItemData>& KnownLayouts() const { return m_layouts; }

 private:
  struct Folder {
    ItemRecord record;  // `id` holds the parent directory's first cluster until appended
    DirectoryStream stream;
  };
  struct Pending {
    uint32_t cluster;
    bool deleted;
  };

  [[nodiscard]] Status WalkDirectory(uint32_t cluster, bool deleted);
  // The directory's clusters, in order, and its bytes.
  [[nodiscard]] Status ReadDirectory(const DirectoryStream& stream, bool deleted, std::vector<uint32_t>* clusters);
  void ProcessSet(const EntrySet& set, uint32_t directory, uint32_t depth, bool directoryDeleted, uint64_t entrySector);
  void RecordFolder(const EntrySet& set, uint32_t directory, bool deleted, bool damaged, uint64_t entrySector);
  void RecordFile(const EntrySet& set, uint32_t directory, uint32_t depth, bool deleted, bool damaged,
                  uint64_t entrySector);
  ItemRecord BaseRecord(const EntrySet& set, uint64_t entrySector) const;
  int32_t ContentIntact(std::string_view name, uint32_t cluster);
  uint32_t DirectoryDepth(uint32_t cluster);
  void MarkNeeded(uint32_t directory);
  [[nodiscard]] bool AppendToStore(const ItemRecord& record, int32_t* id);
  // True when the bytes look like the start of a directory: an entry set,
  // the end marker or one of the root's own entries.
  bool LooksLikeDirectory(const uint8_t* bytes, size_t length) const;

  ExFatVolume& m_volume;
  const ExFatGeometry& m_geometry;
  ExFatTable& m_fat;
  const ExFatBitmap& m_bitmap;
  const UpcaseTable& m_upcase;
  store::ScanStore& m_store;
  uint16_t m_driveLetter;
  uint64_t m_volumeStartSector;
  bool m_storeFull = false;
  uint64_t m_unreadableDirectories = 0;
  uint64_t m_filesRecorded = 0;

  std::deque<uint32_t> m_liveQueue;
  std::deque<uint32_t> m_deletedQueue;
  std::unordered_set<uint32_t> m_walked;
  std::unordered_map<uint32_t, Folder> m_folders;  // by first cluster
  std::unordered_map<uint32_t, uint32_t> m_depths;
  std::vector<uint32_t> m_needed;
  std::unordered_set<uint32_t> m_neededSet;
  std::vector<cluster::ClusterClaim> m_claims;
  std::unordered_set<uint32_t> m_directoryClusters;
  std::unordered_map<int32_t, ItemData> m_layouts;
  std::vector<uint8_t> m_bytes;   // the directory being walked
  std::vector<uint8_t> m_sector;  // one sector, for the content check
};

}  // namespace engine::exfat
