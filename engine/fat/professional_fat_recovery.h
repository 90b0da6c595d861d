// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/cluster/fragment_bounds.h"
#include "engine/fat/professional_fat_geometry.h"
#include "engine/fat/professional_fat_pieces.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/live_allocation.h"
#include "engine/store/store_browser.h"
#include "engine/volume_sectors.h"
#include "storage/sector_source.h"

namespace engine::fat {

// The professional FAT engine (source kind 3): recovers files and folders of
// a FAT volume whose boot sector and tables can no longer be trusted,
// typically after a quick format. It never walks the file system: the
// deep-scan coordinator reads the whole volume (or its free space) and hands
// it every sector that begins a directory (HandleDirectoryStart) or looks
// like a directory sector (HandleDirectorySector). The engine keeps a small
// summary of every run of adjacent directory sectors, learns the cluster
// geometry from a surviving boot sector and from where directories lie
// (each "." entry names its own cluster), and when the scan finishes
// (FinishFatScan) reads those runs again: it links each later part of a
// directory to the directory it continues, builds the folder tree from the
// ".." entries (reading a parent the scan did not see, such as a live folder
// outside the free space), names every folder from the entry that points to
// it ("LostFolder<cluster>" when none does), and writes every folder and
// file to its own store ("Pro_Fat_..."). A file's data is read from its
// first cluster on through the following clusters, the table that chained
// them being gone; what cannot be known to be its data is marked damaged,
// unless a search for its pieces (JPEG, PNG, ZIP and office files, among
// the clusters no live or checked file holds) proves where they lie: then it
// is read from those pieces and listed intact and reassembled.
//
// Sector numbers are absolute and count sectors of the source's unit (512
// for images and memory sources, the logical sector size for disks); the
// sector fields of the records use the same unit. Memory during a scan is
// bounded by the directory pieces found (DirectoryPieceLog), never by the
// sectors read. The source is only ever read. One thread at a time (the
// coordinator's scan thread, then a job thread).
class CProfessionalFatRecovery final : public IFileRecoveryParse, public IItemFragments, private IItemCopySource {
 public:
  CProfessionalFatRecovery();
  ~CProfessionalFatRecovery() override;
  CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
  CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

  // Slot 0: the whole image file is the volume.
  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  // Slot 1: the volume at startSector of disk diskNumber (sectorCount 0: to the disk's end).
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // Slot 3: 0; the coordinator drives the scan through the operations below.
  [[nodiscard]] Status Scan(const char* previousName) override;
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  // Slot 8: a folder and its subtree, or a file read from its first cluster
  // through the following ones, exactly its size. A file whose clusters
  // would run past the volume's end fails with 30 and leaves nothing; a
  // file found where no geometry was ever known (clusterBytes -1) has no
  // data to copy: 87.
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // Opens the engine on a source the caller keeps and shares with other
  // engines (the coordinator's, a test's); it must outlive the engine.
  // sectorSize is the unit of the source's sector numbers; the volume starts
  // at startSector and holds sectorCount of them (0: to the source's end).
  [[nodiscard]] Status OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t driveLetter);

  // The scan, in the coordinator's order. BeginFatScan creates a fresh store
  // ("Pro_Fat_<volume start>_...") and forgets any earlier scan, or with
  // previousName reopens that stored scan instead (nothing else is needed
  // then). Returns the store's status.
  [[nodiscard]] Status BeginFatScan(const char* previousName);
  // Takes a geometry from the volume's boot sector when it still passes the
  // FAT test (FAT12/16 with its own root directory size). True when it did.
  bool PrepareFatGeometry();
  // A sector (length bytes) that passes the directory-start test, found at
  // absoluteSector. A "." entry naming no usable cluster (0, 1, past the
  // format's limit) is taken as an ordinary directory sector.
  void HandleDirectoryStart(const uint8_t* sector, size_t length, uint64_t absoluteSector);
  // A sector that passes the directory-sector test.
  void HandleDirectorySector(const uint8_t* sector, size_t length, uint64_t absoluteSector);
  // While on, the directory sectors handed are of deleted directories the
  // volume's fast engine walked and lists: they stand for their directories,
  // so the clusters that continue them (found free) list in a folder of the
  // same path rather than a lost one, but their own entries are not listed
  // again. Off by default; a new scan turns it off.
  void SetListedElsewhere(bool on) { m_pieces.SetListedElsewhere(on); }
  // Builds the folder tree and writes every folder and file record. Returns
  // 0; 8 when the store had no room for a record (the records before it are
  // kept); the callback's value when it asked to stop (the folders and the
  // files written so far are kept); the first read error met while reading
  // the directories again (everything readable is written); or the store's
  // write error.
  [[nodiscard]] Status FinishFatScan();
  // What the volume's live file system holds now, for FinishFatScan: a file
  // whose clusters touch it is overwritten. Borrowed; must outlive the
  // finish; null (the default) when no live file system is known.
  void SetLiveAllocation(const LiveAllocation* live) { m_live = live; }

  // Whether the finish judges which directory a headless piece continues by
  // the scored evidence of write order, names and times (the default), or
  // only by a long name cut at its edge and a single open directory (for
  // measuring what the scoring costs and gains).
  void SetContinuationScoring(bool on) { m_scoreContinuations = on; }

  // Whether the finish searches for the pieces of files whose data does not
  // follow their first cluster (on by default; off for measuring), and what
  // each search of the last finish cost.
  void SetPieceSearch(bool on) { m_searchPieces = on; }
  const std::vector<cluster::FragmentSearchStats>& PieceSearches() const { return m_pieceSearches; }

  // IItemFragments: the pieces a file put together from pieces is read from.
  int32_t FragmentCount(const ItemRecord& item) override;
  bool Reassembled(const ItemRecord& item) override { return FragmentCount(item) > 1; }

  const FatGeometryList& Geometries() const { return m_geometries; }
  const DirectoryPieceLog& Pieces() const { return m_pieces; }
  // Directory sectors not kept because the piece bound was reached.
  uint64_t DroppedDirectorySectors() const { return m_pieces.DroppedSectors(); }
  // The store the results are kept in (null before a scan), for a caller
  // that walks every record once.
  store::ScanStore* ResultStore() { return m_browser.Store(); }
  std::string StoreBaseName();

 private:
  struct Finish;  // the state of FinishFatScan (professional_fat_finish.cpp)

  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;
  void ResetScan();

  VolumeSectors m_volume;
  uint16_t m_driveLetter = 0;
  const LiveAllocation* m_live = nullptr;
  bool m_scoreContinuations = true;
  bool m_searchPieces = true;
  std::vector<cluster::FragmentSearchStats> m_pieceSearches;

  FatGeometryList m_geometries;
  DirectoryPieceLog m_pieces;

  store::StoreBrowser m_browser;
  std::vector<uint8_t> m_copyBuffer;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
};

}  // namespace engine::fat
