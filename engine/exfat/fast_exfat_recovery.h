// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/exfat/exfat_bitmap.h"
#include "engine/exfat/exfat_data_copy.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_layout.h"
#include "engine/exfat/exfat_table.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/exfat/upcase_table.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/metadata_runs.h"
#include "engine/scan_gaps.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::exfat {

// The fast exFAT engine (source kind 5): finds deleted files on an exFAT
// volume whose file system is still intact (memory cards, USB sticks), by
// walking its directory tree from the root through live and deleted
// folders. It records deleted files, files in deleted folders and the
// folders on their way with the same fields and folder keys as the fast
// FAT engine (locator = first cluster, dataStartSector = the cluster
// heap's first sector, sector fields in the volume's own sectors). Deleted
// data is read where the cluster-ownership view (ExFatLayout) lays it; a
// live file's along its FAT chain or its run; bytes past a file's valid
// data length as zeros. The allocation bitmap is the free-space map.
//
// Without a usable allocation bitmap (one that lies outside the volume or
// is cut short) every cluster not read as a directory counts as free. The
// source is only ever read. Opened once; one thread at a time.
class CFastExFatRecovery final : public IFileRecoveryParse,
                                 public IItemFragments,
                                 public IMetadataRuns,
                                 public IScanGaps,
                                 private IItemCopySource {
 public:
  CFastExFatRecovery();
  ~CFastExFatRecovery() override;
  CFastExFatRecovery(const CFastExFatRecovery&) = delete;
  CFastExFatRecovery& operator=(const CFastExFatRecovery&) = delete;

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

  // Takes an already opened source (a memory source in tests): the volume
  // starts at startSector and holds sectorCount sectors, in the unit of the
  // source's sector numbers (512 bytes for memory and image sources);
  // sectorCount 0 means up to the source's end.
  [[nodiscard]] Status OpenSource(storage::SectorSource source, uint64_t startSector, uint64_t sectorCount,
                                  uint16_t driveLetter);

  // How often, at most, Scan reports progress (and so may be cancelled)
  // while it walks; 5000 ms by default.
  void SetReportIntervalMs(int64_t intervalMs) { m_reportIntervalMs = intervalMs; }

  // IItemFragments: the runs a found file's data is read from.
  int32_t FragmentCount(const ItemRecord& item) override;
  bool Reassembled(const ItemRecord& item) override;
  // Deep scans: deleted files no layout holds for are searched for in pieces,
  // within bounds; what each search cost.
  void SearchFragments(cluster::FragmentBounds bounds) { m_fragmentBounds = std::move(bounds); }
  const std::vector<cluster::FragmentSearchStats>& FragmentSearches() const { return m_fragmentSearches; }
  // IMetadataRuns: every directory cluster the last walk read, live and
  // deleted, relative to the volume's start.
  // IScanGaps: the directory clusters the last scan could not read.
  uint64_t UnreadableParts() const override { return m_unreadableDirectories; }
  std::vector<ByteRun> MetadataRuns() override { return m_directoryRuns; }

  // A value that changes when the volume is written: a hash of the
  // allocation bitmap and the FAT in use (every file created, deleted,
  // grown or shrunk changes one of them) and of the layout. 0 or the
  // read's status.
  [[nodiscard]] Status VolumeFingerprint(uint64_t* out);

  // The volume's layout; valid after a successful open.
  const ExFatGeometry& Geometry() const { return m_geometry; }
  bool HasBitmap() const { return m_bitmap.IsLoaded(); }
  bool HasUpcaseTable() const { return m_upcase.IsLoaded(); }
  // Base name of the store the last Scan opened.
  std::string StoreBaseName();
  // The store of the last scan (null before one).
  store::ScanStore* ResultStore() { return m_browser.Store(); }

 private:
  [[nodiscard]] Status OpenVolume(uint16_t driveLetter);
  [[nodiscard]] Status WalkVolume();
  [[nodiscard]] Status ApplyLayouts(const std::vector<cluster::ClusterClaim>& claims,
                                    const std::unordered_set<uint32_t>& directories,
                                    const std::unordered_map<int32_t, ItemData>& known);
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;
  ItemData DataOf(const ItemRecord& item);
  bool HasVolume() const { return m_opened && m_fat.IsLoaded(); }

  ExFatVolume m_volume;
  ExFatGeometry m_geometry;
  ExFatTable m_fat;
  ExFatBitmap m_bitmap;
  UpcaseTable m_upcase;
  bool m_opened = false;
  uint16_t m_driveLetter = 0;

  store::StoreBrowser m_browser;
  std::optional<cluster::FragmentBounds> m_fragmentBounds;
  std::vector<cluster::FragmentSearchStats> m_fragmentSearches;
  std::vector<ByteRun> m_directoryRuns;
  uint64_t m_unreadableDirectories = 0;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
  int64_t m_reportIntervalMs = 5000;
};

}  // namespace engine::exfat
