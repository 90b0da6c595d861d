// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/ext4/ext4_directory_block.h"
#include "engine/ext4/ext4_item_data.h"
#include "engine/ext4/ext4_volume.h"
#include "engine/ext4/key_table.h"
#include "engine/item_record.h"
#include "engine/store/scan_store.h"

namespace engine::ext4 {

// Synthetic folder locators (a deleted folder whose inode number another
// folder holds now) start here.
inline constexpr uint32_t kSyntheticLocator = 0x80000000u;

// The walk of an ext volume's directory tree that finds deleted files.
// Live directories are walked from the root, breadth-first; for each, every
// version of each of its blocks is read: the block now, and the copies the
// journal keeps (checked against the directory by their checksum or by
// their "." entry). A name an older version held (or that lies in a
// record's slack) and the directory no longer holds, for an inode that is
// free now (or holds another file now), is a deleted entry. A deleted
// folder's own blocks are read the same way, its entries all deleted.
//
// A deleted file's data: the newest copy of its inode (the journal's, or
// the volume's own when it kept its map) whose checksum holds and whose
// map resolves; intact when all its blocks are free now, overwritten when
// none is, damaged when no copy maps it (the file is listed with its name,
// size and times). Records go to the store as the walk finds them (files)
// and at the end (folders on the way, deleted folders), with the fields of
// the other fast engines: locator = inode number (folders: their key),
// clusterBytes = block size, sector fields in the source's unit.
// Everything given must outlive the walk. One thread at a time.
class Ext4DeletedWalk {
 public:
  Ext4DeletedWalk(Ext4Volume& volume, store::ScanStore& store, uint16_t driveLetter, int32_t sourceKind);

  // Called after each directory; a non-zero return stops the walk.
  using AfterDirectory = std::function<int32_t()>;
  // Walks from the root. 0, the hook's value, 8 when the store is full, or
  // the error that kept the root from being read.
  [[nodiscard]] Status WalkAll(const AfterDirectory& afterEach);
  // Appends the folder records. 0 or 8.
  [[nodiscard]] Status AppendNeededFolders();
  // Deleted files no copy of whose inode keeps a map get the contiguous
  // run their neighbours' layout and their content support (see
  // ContiguousGuess), damaged unless proven: their records are rewritten.
  // Call after WalkAll, before Layouts are read; every is called now and
  // then (a non-zero return stops and is returned). 0, or the store's error.
  [[nodiscard]] Status GuessUnmapped(const AfterDirectory& every);
  // Files whose blocks a later deleted file took too (both free now) are
  // overwritten: their records are rewritten. 0 or the store's error.
  [[nodiscard]] Status SettleSharedBlocks();

  uint64_t FilesRecorded() const { return m_filesRecorded; }
  uint64_t UnreadableDirectories() const { return m_unreadable; }
  // Deleted entries of encrypted folders (their names are ciphertext).
  uint64_t EncryptedEntries() const { return m_encrypted; }
  // Blocks of deleted folders that were read (their entries are listed).
  const std::vector<uint64_t>& DeletedDirectoryBlocks() const { return m_deletedDirectoryBlocks; }
  // Layouts of the recorded files, by record id.
  const std::unordered_map<int32_t, ItemData>& Layouts() const { return m_layouts; }

 private:
  struct Folder {
    uint32_t inode = 0;
    uint32_t locator = 0;
    uint32_t depth = 0;  // of the folder itself
    uint32_t parentLocator = 0;
    bool deleted = false;
    bool encrypted = false;
    std::string name;
    InodeCopy copy;      // the inode the folder's blocks and times come from
  };
  struct Entry {
    std::string name;
    uint32_t inode = 0;
    uint8_t fileType = 0;
    // The entry was gone from its block by journal transaction `before`:
    // only inode copies older than that can be its file's.
    bool bounded = false;
    uint32_t before = 0;
    uint64_t key = 0;  // its name and inode as one value
  };
  // One version of a directory block: now (current) or a journal copy.
  struct Version {
    bool current = false;
    uint32_t sequence = 0;
    std::vector<Entry> entries;  // all (now), or those not live now (older versions)
    std::vector<bool> live;      // per entry: live in the block now
    std::vector<uint64_t> keys;  // of all its entries, live now or not
    KeyTable held;               // the keys, as a set (when first needed)
    bool heldReady = false;
  };

  [[nodiscard]] Status WalkFolder(Folder& folder);
  // Every version of the folder's entries: live ones now (live folders)
  // and all the others.
  [[nodiscard]] Status CollectEntries(const Folder& folder, std::vector<Entry>* live, std::vector<Entry>* older);
  // nowBytes: the block as it is now, when read already (else read here).
  void CollectVersions(const Folder& folder, uint64_t block, bool firstBlock, bool current, const uint8_t* nowBytes,
                       std::vector<Entry>* live, std::vector<Entry>* older);
  void TakeInline(const Folder& folder, const Inode& node, std::vector<Entry>* into);
  [[nodiscard]] Status HandleDeleted(const Folder& parent, const Entry& entry);
  // The copies of a deleted inode worth looking at, newest first.
  std::vector<InodeCopy> CandidateCopies(uint32_t number, uint16_t type, const Entry& entry);
  ItemRecord BaseRecord(const InodeCopy& copy, uint32_t number, const std::string& name) const;
  uint32_t LocatorFor(uint32_t inode);
  void MarkNeeded(uint32_t locator);
  [[nodiscard]] bool Append(ItemRecord& record);

  Ext4Volume& m_volume;
  store::ScanStore& m_store;
  uint16_t m_driveLetter;
  int32_t m_sourceKind;
  bool m_storeFull = false;
  uint64_t m_filesRecorded = 0;
  uint64_t m_unreadable = 0;
  uint64_t m_encrypted = 0;
  uint32_t m_nextSynthetic = kSyntheticLocator;

  std::deque<uint32_t> m_queue;                      // folder locators
  std::unordered_map<uint32_t, Folder> m_folders;    // by locator
  std::unordered_set<uint32_t> m_walkedInodes;       // live folders walked
  std::unordered_set<uint32_t> m_deletedInodes;      // deleted folders taken
  std::unordered_set<uint32_t> m_usedLocators;
  std::vector<uint32_t> m_needed;
  std::unordered_set<uint32_t> m_neededSet;
  std::unordered_map<int32_t, ItemData> m_layouts;
  std::vector<uint64_t> m_deletedDirectoryBlocks;
  struct Claim {
    uint64_t first;
    uint64_t count;
    int32_t id;
    bool fromJournal;
    uint32_t sequence;
  };
  std::vector<Claim> m_claims;
  // Deleted regular files listed without data, and the files found with
  // data (inode, record id: their runs are in m_layouts), for GuessUnmapped.
  struct Unmapped {
    int32_t id;
    uint32_t inode;
    std::string extension;
  };
  std::vector<Unmapped> m_unmapped;
  std::vector<std::pair<uint32_t, int32_t>> m_found;
  std::vector<uint8_t> m_block;
  std::vector<uint8_t> m_runBytes;  // a piece of a directory's blocks, as they are now
  std::vector<uint8_t> m_copyScratch[2];
  std::vector<Version> m_versions;
  std::vector<Entry> m_live;     // WalkFolder's: the folder's live entries,
  std::vector<Entry> m_older;    // the entries of older versions,
  std::vector<Entry> m_deleted;  // and its deleted ones
  KeyTable m_liveKeys;
  KeyTable m_seen;
  KeyTable m_deletedAt;
  DirectoryBlock m_parsed;
};

}  // namespace engine::ext4
