// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/ext4/ext4_found_tables.h"
#include "engine/ext4/ext4_item_data.h"
#include "engine/ext4/ext4_volume.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/live_allocation.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::ext4 {

// Log prefix of this engine's stores ("Pro_Ext4_<volume start>_...").
inline constexpr const char* kProExt4LogPrefix = "Pro_Ext4_";

// The professional ext engine (source kind 8): rebuilds folders and files
// of an ext volume made again with mkfs.ext4 (or whose tree no longer
// reaches them) from the directory blocks found anywhere on it. The deep
// scan hands it every block (at the block size of the volume's superblock)
// that holds directory entries; it keeps each block's entries (at most
// kMaxBlocks blocks) and, when the scan finishes, reads the inodes those
// entries name from the inode tables where the superblock puts them (mkfs
// rewrites only a few of them: the old ones survive) and the tree blocks of
// their extent trees. A folder is named by the entry that names its inode
// and placed under the folder its ".." names, or under the root as
// "LostFolder<inode>"; its later blocks are those its inode maps. A file's
// data is read through its inode's map; a file whose inode no longer maps
// anything (or maps past the volume) is listed with its name, damaged.
// Checksums are not checked: a re-made volume has a new seed.
// Inode-table blocks of the earlier file system found in free space, and
// the new tables' places while they still hold the old bytes, give the old
// inodes where the new geometry differs (FoundInodeTables numbers them);
// a linked file inode found there that no entry names is listed under
// "LostFiles" as "inode<N>". A file's data is intact only when a content
// check proves it (its kind's structure, or text to its end).
//
// Sector numbers are absolute, in the source's unit. The source is only
// ever read. One thread at a time (the coordinator's, then a job's).
class CProfessionalExt4Recovery final : public IFileRecoveryParse, private IItemCopySource {
 public:
  static constexpr size_t kMaxBlocks = 1u << 20;

  CProfessionalExt4Recovery();
  ~CProfessionalExt4Recovery() override;
  CProfessionalExt4Recovery(const CProfessionalExt4Recovery&) = delete;
  CProfessionalExt4Recovery& operator=(const CProfessionalExt4Recovery&) = delete;

  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // Slot 3: 0; the coordinator drives the scan through the operations below.
  [[nodiscard]] Status Scan(const char* previousName) override;
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // Opens the engine on a source the caller keeps (it must outlive the
  // engine); sectorSize is the unit of its sector numbers.
  [[nodiscard]] Status OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t driveLetter);
  // What the live file system holds now (the coordinator's, or none): a
  // file any of whose blocks it holds is overwritten.
  void SetLiveAllocation(const LiveAllocation* live) { m_live = live; }

  // The scan, in the coordinator's order. BeginExt4Scan makes a fresh
  // store (or reopens previousName's). PrepareExt4Geometry reads the
  // volume's superblock: true when there is one (without it no block is
  // taken). WantsSector: true for an absolute sector at a block start.
  // HandleExt4Block: bytes (length readable, at least a block) of the block
  // at absoluteSector; true when it held directory entries and was kept.
  // FinishExt4Scan builds the tree and writes the records: 0, 8 when the
  // store is full, or the store's error.
  [[nodiscard]] Status BeginExt4Scan(const char* previousName);
  bool PrepareExt4Geometry();
  bool WantsSector(uint64_t absoluteSector) const;
  uint32_t BlockSectors() const { return m_blockSectors; }
  bool HandleExt4Block(const uint8_t* bytes, size_t length, uint64_t absoluteSector);
  [[nodiscard]] Status FinishExt4Scan();

  size_t KeptBlocks() const { return m_blocks.size(); }
  // Inode-table blocks of the earlier file system kept (handed over, or
  // read from the new tables' places at the finish).
  size_t KeptTableBlocks() const { return m_tables.Blocks(); }
  // The checksum seed of the earlier file system, when the last finish
  // learnt it from the inodes found.
  bool OldSeed(uint32_t* out) const {
    *out = m_oldSeed;
    return m_oldSeedKnown;
  }
  std::string StoreBaseName();
  store::ScanStore* ResultStore() { return m_browser.Store(); }

 private:
  struct KeptEntry {
    std::string name;
    uint32_t inode = 0;
    uint8_t fileType = 0;
  };
  struct KeptBlock {
    uint32_t self = 0;    // "." when the block starts a directory, else 0
    uint32_t parent = 0;  // ".."
    std::vector<KeptEntry> entries;
  };
  struct Finish;
  // True when the live file system holds a block of the file's runs.
  bool HeldByLiveFiles(const ItemData& data) const;
  // Reads the new tables' blocks (not yet zeroed: they still hold the old
  // inodes) into m_tables and numbers every kept table block.
  void ReadNewTablePlaces();
  void NumberTables();
  uint32_t MaxInodes() const;
  // The old inode number: a copy from a numbered table block found, else
  // the inode where the new geometry puts it unless a numbered table block
  // there says it held another one. *inodeBytes: the size of that copy.
  bool OldInode(uint32_t number, InodeCopy* out, uint16_t* inodeBytes);
  // The state the data earns: intact only when a content check proves it.
  ItemState CheckedState(const ItemData& data, const std::string& name);

  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;

  Ext4Volume m_volume;
  bool m_opened = false;
  bool m_hasGeometry = false;
  Superblock m_plain;  // the volume's geometry without checksums (a re-made volume has a new seed)
  uint32_t m_blockSectors = 0;
  uint16_t m_driveLetter = 0;
  std::unordered_map<uint64_t, KeptBlock> m_blocks;  // by volume block
  FoundInodeTables m_tables;
  uint64_t m_maxBlock = 0;
  bool m_oldSeedKnown = false;
  uint32_t m_oldSeed = 0;  // the source's end in blocks (an older file system may have been larger)
  store::StoreBrowser m_browser;
  const LiveAllocation* m_live = nullptr;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
};

}  // namespace engine::ext4
