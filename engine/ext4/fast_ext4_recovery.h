// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/ext4/ext4_item_data.h"
#include "engine/ext4/ext4_volume.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/metadata_runs.h"
#include "engine/scan_gaps.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::ext4 {

// The fast ext engine (source kind 7): finds deleted files with their names,
// folders and times on an ext2, ext3 or ext4 volume whose file system is
// intact, by walking its directory tree and every older version of its
// directories and inodes that the journal keeps (Ext4DeletedWalk). Deleted
// folders are listed with their children. A file's data is read through the
// block runs its newest usable inode copy maps (or the inline data of that
// copy); the block bitmaps are the free-space map, so a file whose blocks
// are allocated now is marked overwritten. A volume that was not unmounted
// cleanly is read as a replay of its journal would leave it. The source is
// only ever read. Opened once; one thread at a time.
class CFastExt4Recovery final : public IFileRecoveryParse,
                                public IItemFragments,
                                public IMetadataRuns,
                                public IScanGaps,
                                private IItemCopySource {
 public:
  CFastExt4Recovery();
  ~CFastExt4Recovery() override;
  CFastExt4Recovery(const CFastExt4Recovery&) = delete;
  CFastExt4Recovery& operator=(const CFastExt4Recovery&) = delete;

  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // Slot 3: 0, -9527, 8 (the store is full), or why the volume cannot be
  // walked (87: no readable ext file system).
  [[nodiscard]] Status Scan(const char* previousName) override;
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  // Slot 9: free blocks of the block bitmaps, in sectors of SectorBytes(),
  // and the inode-table blocks that hold no inode the file system has ever
  // used and were never zeroed (mkfs leaves the volume's earlier bytes
  // there until the kernel first zeroes them): what a volume held before it
  // was made again may lie there.
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  // Slot 12: reads the block and inode bitmaps. 0 or the read error.
  Status BuildAllocationMap() override;
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // Takes an opened source (a memory source in tests, a share of the deep
  // scan's): the volume starts at startSector and holds sectorCount sectors
  // of the source's unit (0: to the end).
  [[nodiscard]] Status OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                  uint16_t driveLetter);
  // How often, at most, Scan reports progress while it walks; 5000 ms by default.
  void SetReportIntervalMs(int64_t intervalMs) { m_reportIntervalMs = intervalMs; }

  // IItemFragments: the runs a found file's data lies in.
  int32_t FragmentCount(const ItemRecord& item) override;
  // IMetadataRuns: the blocks of deleted folders the last scan read (live
  // folders lie in allocated blocks, which a deep scan does not read).
  std::vector<ByteRun> MetadataRuns() override { return m_metadataRuns; }
  // IScanGaps: directories the last scan could not read.
  uint64_t UnreadableParts() const override { return m_unreadable; }
  // Deleted entries of encrypted folders the last scan met: their names and
  // data are ciphertext (named "encrypted name, inode N", marked damaged).
  uint64_t EncryptedEntries() const { return m_encrypted; }

  // A value that changes when the volume is written: a hash of its block
  // and inode bitmaps and superblock counters. 0 or the read's status.
  [[nodiscard]] Status VolumeFingerprint(uint64_t* out);

  // The unit of sector numbers (the source's: 512 for images).
  uint32_t SectorBytes() const { return m_volume.UnitBytes(); }
  const Superblock& Geometry() const { return m_volume.Sb(); }
  Ext4Volume& Volume() { return m_volume; }
  std::string StoreBaseName();
  store::ScanStore* ResultStore() { return m_browser.Store(); }

 private:
  [[nodiscard]] Status OpenVolume(uint16_t driveLetter);
  [[nodiscard]] Status WalkVolume();
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;
  bool DataOf(const ItemRecord& item, ItemData* out);
  // The runs (first block, count) of m_staleTables, sorted, once.
  void LearnStaleTables();

  Ext4Volume m_volume;
  std::vector<std::pair<uint64_t, uint64_t>> m_staleTables;  // inode-table blocks never used nor zeroed
  bool m_staleLearnt = false;
  bool m_opened = false;
  uint16_t m_driveLetter = 0;
  store::StoreBrowser m_browser;
  std::vector<ByteRun> m_metadataRuns;
  uint64_t m_unreadable = 0;
  uint64_t m_encrypted = 0;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
  int64_t m_reportIntervalMs = 5000;
};

}  // namespace engine::ext4
