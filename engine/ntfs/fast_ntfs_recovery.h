// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/item_placement.h"
#include "engine/metadata_runs.h"
#include "engine/ntfs/allocation_bitmap.h"
#include "engine/ntfs/file_name_attribute.h"
#include "engine/ntfs/folder_placement.h"
#include "engine/ntfs/item_data_copy.h"
#include "engine/ntfs/ntfs_volume_geometry.h"
#include "engine/scan_gaps.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::ntfs {

// The engine for deleted files on an intact NTFS volume (source kind 0). It
// reads the volume's own MFT through record 0's run list, takes every record
// whose flags word is zero (deleted, not a directory) as a file item,
// rebuilds folder paths from the parent numbers in $FILE_NAME, adds the
// folders on those paths in a second pass (a folder record that is no
// longer a directory becomes "LostFolder<n>" under the root) and files
// everything into the scan result store. It also copies items out, extracts
// them for preview and loads the cluster bitmap for free-space walks.
//
// The source is opened read-only. Item names are UTF-8. One thread at a
// time; callbacks are called on that thread.
class CFastNtfsRecovery final : public IFileRecoveryParse,
                                public IMetadataRuns,
                                public IScanGaps,
                                public IItemPlacement,
                                public IItemFragments,
                                private IItemCopySource {
 public:
  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;
  CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
  CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

  Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount, uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  Status Scan(const char* previousName) override;
  Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  Status GetItemPath(const ItemRecord* item, std::string& out) override;
  Status RecoverItem(const ItemRecord* item, const std::string& destinationPath, int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer, uint32_t* inoutLength,
                     ExtractProgressFn fn, void* userData) override;

  // Opens a source that is already open (tests: a memory source). The
  // volume starts at startSector; sectorCount 0 takes the rest of the source.
  [[nodiscard]] Status OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                  uint16_t driveLetter);

  // A value that changes when the volume is written: a hash of the cluster
  // bitmap and of the MFT's record bitmap (files created, deleted or grown
  // change one of them, also when written by another system). 0 or the
  // read's status.
  [[nodiscard]] Status VolumeFingerprint(uint64_t* out);

  const NtfsVolumeGeometry& Geometry() const { return m_volume.geometry; }
  const std::vector<MftRun>& MftRuns() const { return m_volume.mftRuns; }
  // IMetadataRuns: the MFT's clusters (known from the open on; empty when
  // the MFT could not be mapped).
  std::vector<ByteRun> MetadataRuns() override;
  // IItemPlacement: the first data cluster's first byte on the source.
  // IItemFragments: the runs its data is read from (reads its file record).
  int32_t FragmentCount(const ItemRecord& item) override;
  bool FirstDataByte(const ItemRecord& item, uint64_t* byteOffset) override {
    return FirstDataByteOf(item, m_volume.geometry.bytesPerSector, byteOffset);
  }
  // The store the results are kept in (null before a scan), for a caller
  // that walks every record once.
  store::ScanStore* ResultStore() { return m_browser.Store(); }
  // Name of the store of the last scan ("Fast_..."), empty before a scan.
  std::string StoreName() const;

 private:
  Status OpenVolume(uint64_t startSector, uint64_t sectorCount, uint32_t unitBytes, uint64_t sourceBytes,
                    uint16_t driveLetter);

  // Scan (fast_ntfs_scan.cpp).
  // A deleted file waiting for its content check and its place.
  struct PendingItem {
    ItemRecord item = ZeroRecord();
    uint32_t parent = 0;
    uint16_t parentSequence = 0;
    uint64_t checkSector = 0;  // its first data sector, read for the content check; 0: none
    bool overwritten = false;  // a cluster of its data is in use again
  };
  // A stored file waiting for its folder to be settled.
  struct PendingChild {
    int32_t id = 0;
    uint32_t parent = 0;
    uint16_t parentSequence = 0;
  };
  Status RunMftPass();
  Status ReportScanProgress(uint64_t sectorsDone, uint64_t sectorsTotal, int64_t startMs, int64_t* lastEstimateMs,
                            int32_t* remainingSeconds);
  // A record of the MFT: a deleted file becomes a pending item, a directory
  // (live or deleted) is remembered for the folder paths.
  void ParseFirstPassRecord(uint8_t* record, size_t length, uint64_t recordNumber);
  // Times, size, name and place of the item from one $FILE_NAME.
  void FillItem(const FileNameAttribute& fn, uint64_t recordNumber, bool isFolder, ItemRecord& item);
  void StartContentCheck(PendingItem& pending, ByteView record, uint64_t recordNumber);
  // Runs the pending content checks (unless check is false: then the items
  // stay intact, nothing is read) and appends the items to the store.
  void FlushPendingItems(bool check);
  void PlacePendingChildren();
  // Appends every folder on the way to a found file, filed where it belongs.
  void AddNeededFolders();
  void FileFolder(ItemRecord& item, uint32_t parent, uint32_t depth);

  // Copy-out and preview (fast_ntfs_copy.cpp).
  Status ReadItemRecord(const ItemRecord& item, std::vector<uint8_t>& record, uint64_t* recordNumber);
  // The streams of $Bitmap and of $MFT's bitmap (either may be null).
  [[nodiscard]] Status ReadBitmapStreams(std::vector<uint8_t>* volumeBitmap, std::vector<uint8_t>* mftBitmap);
  // IItemCopySource: data through the item's record, folders from the store.
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;

  storage::SectorSource m_source;
  NtfsVolume m_volume;
  uint16_t m_driveLetter = 0;
  bool m_isOpen = false;

  store::StoreBrowser m_browser{store::FolderKey(0, kRootRecord)};
  // How loading the MFT's own runs went (from $MFT, else from $MFTMirr).
  Status m_mftStatus = kStatusOk;
  // State of one scan.
  FolderPlacement m_placement;
  std::vector<PendingItem> m_pendingItems;
  std::vector<PendingChild> m_pendingChildren;
  Status m_readError = kStatusOk;  // the first MFT read that failed
  uint64_t m_unreadableRecords = 0;

 public:
  // IScanGaps: the MFT records the last scan could not read.
  uint64_t UnreadableParts() const override { return m_unreadableRecords; }
  bool m_storeFull = false;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;

  AllocationBitmap m_bitmap;
};

}  // namespace engine::ntfs
