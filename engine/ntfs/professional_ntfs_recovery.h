// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/live_allocation.h"
#include "engine/ntfs/folder_placement.h"
#include "engine/ntfs/mft_contexts.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::ntfs {

// The engine for NTFS volumes that were formatted or whose MFT is lost
// (source kind 2). It does not scan by itself: the deep-scan coordinator
// reads the volume once and hands it every sector that starts a plausible
// file record (HandleRecord). Every file record, in use or deleted, becomes
// a file item; directory records are remembered; every record 0 named
// "$MFT" teaches the MFT it maps (MftContexts), so records of an older file
// system formatted over keep their own numbering. Finish settles each
// item's MFT, its content check and its folder (FolderPlacement per MFT),
// reading only folders that were never handed over, in sector order: the
// pass itself reads nothing per record.
//
// Memory: a remembered directory (its name included) per directory record
// handed over, and about fifty bytes per file record, until Finish.
// The source is read-only. One thread at a time.
class CProfessionalNtfsRecovery final : public IFileRecoveryParse, public IItemFragments, private IItemCopySource {
 public:
  CProfessionalNtfsRecovery();
  ~CProfessionalNtfsRecovery() override;
  CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
  CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // The coordinator drives the scan (Begin, HandleRecord, Finish): returns 0.
  [[nodiscard]] Status Scan(const char* previousName) override;
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  // IItemFragments: the runs its data is read from (reads its file record).
  int32_t FragmentCount(const ItemRecord& item) override;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // Takes an open source (tests, the coordinator): the volume starts at
  // startSector (in 512-byte units) and holds sectorCount of them (0: to the
  // source's end). Opens whatever the boot sector holds.
  [[nodiscard]] Status OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                  uint16_t driveLetter);

  // The store the results are kept in (null before a scan), for a caller
  // that walks every record once.
  store::ScanStore* ResultStore() { return m_browser.Store(); }
  // Opens the engine on a source the caller keeps and shares with other
  // engines; it must outlive the engine. The volume starts at startSector and
  // holds sectorCount sectors (0: to the source's end), both in sectorSize
  // units, the unit of the source's sector numbers.
  [[nodiscard]] Status OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t driveLetter);

  // --- what the coordinator calls ---------------------------------------------
  // Bytes of a file record on this volume, and the sector size it scans with.
  uint32_t RecordBytes() const { return m_recordBytes; }
  uint32_t BytesPerSector() const { return m_bytesPerSector; }
  // Starts a scan: a fresh store ("Pro_Ntfs_<start>_<time>") or, with a
  // previous name, that store reopened to be added to.
  [[nodiscard]] Status Begin(const char* previousName);
  // One plausible file record (RecordBytes() bytes, not fixed up; the
  // caller's bytes are never written) found at absolute `sector`. A record
  // that fails the header checks is ignored: 87.
  Status HandleRecord(const uint8_t* record, size_t length, uint64_t sector);
  // Settles the MFTs, content checks and folders and files everything. 0, 8
  // when the store is full, or the first read error (every folder that can be
  // read is still filed; the others become placeholders).
  [[nodiscard]] Status Finish();
  // What the volume's live file system holds now, for Finish: a file whose
  // data runs touch it is overwritten. Borrowed; must outlive the finish;
  // null (the default) when no live file system is known.
  void SetLiveAllocation(const LiveAllocation* live) { m_live = live; }

 private:
  // A directory record handed over by the scan.
  struct Directory {
    uint64_t sector = 0;
    uint32_t number = 0;
    uint16_t sequence = 0;
    bool inUse = false;
    uint32_t parent = 0;
    uint16_t parentSequence = 0;
    uint32_t context = 0;  // settled by Finish
    std::string name;
    uint64_t created = 0, modified = 0, accessed = 0;
  };

  // A file record stored as an item, waiting for Finish.
  struct PendingFile {
    int32_t id = 0;
    uint64_t sector = 0;
    uint32_t number = 0;
    uint32_t parent = 0;
    uint16_t parentSequence = 0;
    uint32_t recordSectorsPerCluster = 0;  // told by the record's own allocation, 0: not told
    int64_t firstCluster = -1;             // of its data, relative to its volume; -1: none
    uint32_t context = 0;
    uint32_t storedSectorsPerCluster = 0;  // what its record was stored with
    bool emptyResident = false;
    char extension[16] = {};
    uint64_t size = 0;             // of its data
    std::vector<PlacedRun> runs;   // of its data's first extent (empty: resident)
  };
  [[nodiscard]] Status OpenVolume(uint64_t startByte, uint64_t volumeBytes, uint16_t driveLetter);
  // Reads and fixes up the record at sector; its number must be `number`
  // when the record states one. kNotFileRecord otherwise.
  [[nodiscard]] Status ReadRecordAt(uint64_t sector, uint64_t number, std::vector<uint8_t>& record);
  uint32_t LocatorOf(uint32_t context, uint32_t locator) const;
  void ReadMissingFolders(Status* firstError);
  void CheckContents(Status* firstError);
  // The byte runs (absolute) of a file's data, clipped to its size; kDamaged
  // when they would leave the volume, kOverwritten when the first extent
  // alone already touches the live file system; empty runs when the data
  // cannot be judged whole (sparse, or partly in another record).
  ItemState DataRunsOf(const PendingFile& f, std::vector<ByteRun>* out) const;
  void FileEverything();
  // The item's file record (fixed up) and the volume as the item's MFT sees it.
  [[nodiscard]] Status ItemRecordAndVolume(const ItemRecord& item, std::vector<uint8_t>& record, NtfsVolume* volume);
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;

  storage::SectorSource m_source;
  NtfsVolumeGeometry m_geometry;  // of the opened volume; bytesPerSector from the boot sector when NTFS, else 512
  uint32_t m_bytesPerSector = 512;
  uint32_t m_recordBytes = 1024;
  uint16_t m_driveLetter = 0;
  bool m_isOpen = false;
  const LiveAllocation* m_live = nullptr;

  MftContexts m_contexts;
  std::vector<Directory> m_directories;
  std::vector<PendingFile> m_files;
  bool m_storeFull = false;

  store::StoreBrowser m_browser{store::FolderKey(0, FolderPlacement::kRootRecord)};
  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 90;
};

}  // namespace engine::ntfs
