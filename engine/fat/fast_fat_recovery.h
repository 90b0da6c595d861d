// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/fat/fat_allocation_map.h"
#include "engine/fat/fat_geometry.h"
#include "engine/fat/fat_layout.h"
#include "engine/fat/fat_table.h"
#include "engine/fat/volume_reader.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/item_placement.h"
#include "engine/metadata_runs.h"
#include "engine/scan_gaps.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::fat {

// The fast FAT engine (source kind 1): finds deleted files on a FAT12, FAT16
// or FAT32 volume whose file system is still intact, by walking its directory
// tree from the root through live and deleted folders. Deleted data is read
// from the start cluster onwards: along the FAT where the entry is still set,
// through the following free clusters where it was freed. Copies files out,
// extracts them for preview and maps the free clusters for the deep scan.
//
// The source is only ever read. Opened once; one thread at a time.
class CFastFatRecovery final : public IFileRecoveryParse,
                               public IItemFragments,
                               public IMetadataRuns,
                               public IScanGaps,
                               public IItemPlacement,
                               private IItemCopySource {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;
  CFastFatRecovery(const CFastFatRecovery&) = delete;
  CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
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

  // Takes an already opened source (a memory source in tests, for instance):
  // the volume starts at startSector and holds sectorCount sectors, both in
  // the unit of the source's sector numbers (512 bytes for memory and image
  // sources); sectorCount 0 means up to the source's end.
  [[nodiscard]] Status OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                  uint16_t driveLetter);

  // How often, at most, Scan reports progress (and so may be cancelled)
  // while it walks; 5000 ms by default.
  void SetReportIntervalMs(int64_t intervalMs) { m_reportIntervalMs = intervalMs; }

  // IItemFragments: the runs a found file's data was laid out from.
  int32_t FragmentCount(const ItemRecord& item) override;
  bool Reassembled(const ItemRecord& item) override;
  // Deep scans: deleted files no layout holds for are searched for in pieces,
  // within bounds; what each search cost.
  void SearchFragments(cluster::FragmentBounds bounds) { m_fragmentBounds = std::move(bounds); }
  const std::vector<cluster::FragmentSearchStats>& FragmentSearches() const { return m_fragmentSearches; }
  // IMetadataRuns: the fixed root directory and every directory cluster the
  // last Scan walked, live or deleted (empty after a stored scan reopened).
  // IScanGaps: the directory clusters the last scan could not read.
  uint64_t UnreadableParts() const override { return m_unreadableDirectories; }
  uint64_t FoldersCutOff() const override { return m_foldersCutOff; }
  std::vector<ByteRun> MetadataRuns() override { return m_directoryRuns; }
  // IItemPlacement: the start cluster's first byte on the source.
  bool FirstDataByte(const ItemRecord& item, uint64_t* byteOffset) override {
    return FirstDataByteOf(item, m_geometry.bytesPerSector, byteOffset);
  }

  // A value that changes when the volume is written: a hash of the first
  // FAT (every file created, deleted, grown or shrunk changes it) and of the
  // layout. 0 or the read's status.
  [[nodiscard]] Status VolumeFingerprint(uint64_t* out);

  // Reads asked of the source since it was opened (for benchmarks).
  uint64_t ReadCalls() const { return m_reader.ReadCalls(); }

  // The volume's layout; valid after a successful open.
  const FatGeometry& Geometry() const { return m_geometry; }
  // The store the results are kept in (null before a scan), for a caller
  // that walks every record once.
  store::ScanStore* ResultStore() { return m_browser.Store(); }
  // Base name of the store the last Scan opened.
  std::string StoreBaseName() const;

 private:
  [[nodiscard]] Status OpenVolume(storage::SectorSource source, uint32_t unitBytes, uint64_t startUnit,
                                  uint64_t volumeBytes, uint16_t driveLetter);
  [[nodiscard]] Status WalkVolume();
  // Keeps what the walk could not read or follow (UnreadableParts,
  // FoldersCutOff) beside the store, so a later run that shows the kept
  // results says it too; LoadGaps reads it back (nothing kept: none).
  void KeepGaps() const;
  void LoadGaps();
  // Keeps where the walked directories lie (MetadataRuns).
  void NoteDirectoryRuns(const std::unordered_set<uint32_t>& clusters);
  // Lays out the deleted files the walk found and keeps what it learnt in
  // the store (layouts of fragmented files, damage of untrusted ones).
  [[nodiscard]] Status ApplyLayouts(const std::vector<cluster::ClusterClaim>& claims,
                                    const std::unordered_set<uint32_t>& directories);
  // IItemCopySource: data along the cluster chain, folders from the store.
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;
  uint64_t RootFolderKey() const;
  bool HasVolume() const { return m_geometryValid && m_fat.IsLoaded(); }

  VolumeReader m_reader;
  FatGeometry m_geometry;
  FatTable m_fat;
  FatAllocationMap m_allocation;
  bool m_opened = false;
  bool m_geometryValid = false;
  uint16_t m_driveLetter = 0;

  store::StoreBrowser m_browser;
  std::optional<cluster::FragmentBounds> m_fragmentBounds;
  std::vector<cluster::FragmentSearchStats> m_fragmentSearches;
  std::vector<ByteRun> m_directoryRuns;
  uint64_t m_unreadableDirectories = 0;
  uint64_t m_foldersCutOff = 0;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
  int64_t m_reportIntervalMs = 5000;
};

}  // namespace engine::fat
