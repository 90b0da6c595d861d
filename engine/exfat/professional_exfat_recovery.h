// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/exfat/exfat_data_copy.h"
#include "engine/exfat/exfat_deep_geometry.h"
#include "engine/exfat/exfat_geometry.h"
#include "engine/exfat/exfat_volume.h"
#include "engine/file_recovery_parse.h"
#include "engine/cluster/fragment_bounds.h"
#include "engine/item_copy_out.h"
#include "engine/item_fragments.h"
#include "engine/live_allocation.h"
#include "engine/store/store_browser.h"
#include "storage/sector_source.h"

namespace engine::exfat {

// Log prefix of this engine's stores ("Pro_ExFat_<volume start>_...").
inline constexpr const char* kProExFatLogPrefix = "Pro_ExFat_";

// The professional exFAT engine (source kind 6): rebuilds the folders and
// files of an exFAT volume whose boot region and tables can no longer be
// trusted (a quick format, a damaged card) from the directory entry sets
// found anywhere on it. It never walks the file system: the deep-scan
// coordinator reads the volume and hands it every sector that passes
// IsExFatDirectorySector; the engine keeps only where those sectors lie
// (runs of adjacent sectors, at most kMaxRuns of them) and, when the scan
// finishes, reads them again: it takes the cluster geometry from a boot
// region that fits the directories or derives it from where they lie
// (ChooseDeepGeometry: each folder entry names the first cluster of its
// directory), gives every directory cluster to the folder whose entry names
// it (the clusters its length covers) or to a placeholder folder
// "LostFolder<cluster>" under the root, links folders to the folder whose
// directory holds their entry, and writes every folder and every file
// whose set checks (live and deleted) to its own store. When the boot
// region's geometry is the one settled on, a directory's later clusters are
// taken along its chain in the FAT where the FAT still holds one (a
// damaged volume that was not formatted); otherwise a contiguous
// (NoFatChain) directory's are its next clusters, and a chained one's are
// the clusters the continuation scoring joins to it (LinkDirectoryChains:
// cut sets whose checksum joins, the write order, names and times; a
// cluster without a convincing owner stays a placeholder). A folder whose directory was never seen (an empty
// one, or one overwritten) is listed empty when no directory seen holds
// its first cluster. A file's data is
// read from its first cluster through the following ones (the FAT that
// chained them is gone), its valid bytes then zeros to its size; a file
// whose start lies inside a directory, past the volume, or does not begin
// as its extension says is marked damaged.
//
// Sector numbers are absolute and count sectors of the source's unit (512
// for images and memory sources, the logical sector size for disks); the
// sector fields of the records use the same unit. The source is only ever
// read. One thread at a time (the coordinator's scan thread, then a job
// thread).
class CProfessionalExFatRecovery final : public IFileRecoveryParse, public IItemFragments, private IItemCopySource {
 public:
  // Directory runs kept during a scan; sectors past them are counted and dropped.
  static constexpr size_t kMaxRuns = 1u << 20;

  CProfessionalExFatRecovery();
  ~CProfessionalExFatRecovery() override;
  CProfessionalExFatRecovery(const CProfessionalExFatRecovery&) = delete;
  CProfessionalExFatRecovery& operator=(const CProfessionalExFatRecovery&) = delete;

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
  // on. A file whose clusters would run past the volume fails with 87 and
  // leaves nothing.
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

  // The scan, in the coordinator's order. BeginExFatScan creates a fresh
  // store and forgets any earlier scan, or with previousName reopens that
  // stored scan instead (nothing else is needed then). Returns the store's
  // status.
  [[nodiscard]] Status BeginExFatScan(const char* previousName);
  // Takes the geometry of the volume's boot region (main, else backup)
  // when one still describes an exFAT volume. True when it did.
  bool PrepareExFatGeometry();
  // A sector (length bytes from it are readable; see IsExFatDirectorySector)
  // that passed IsExFatDirectorySector, found at absoluteSector.
  void HandleExFatDirectorySector(const uint8_t* sector, size_t length, uint64_t absoluteSector);
  // Reads the directory runs again, settles the geometry, builds the folder
  // tree and writes every folder and file record. Returns 0 (also when no
  // geometry could be settled: nothing is written then); 8 when the store
  // had no room for a record (the records before it are kept); the first
  // read error met (everything readable is written); or the store's write
  // error.
  [[nodiscard]] Status FinishExFatScan();
  // What the volume's live file system holds now, for FinishExFatScan: a
  // file whose clusters touch it is overwritten. Borrowed; must outlive the
  // finish; null (the default) when no live file system is known.
  void SetLiveAllocation(const LiveAllocation* live) { m_live = live; }
  // Whether the finish searches for the pieces of JPEG, PNG, ZIP and office
  // files whose data does not follow their first cluster, among the clusters
  // no live or checked file and no directory holds (on by default; off for
  // measuring); a file found is read from its pieces, listed intact and
  // reassembled. What each search of the last finish cost.
  void SetPieceSearch(bool on) { m_searchPieces = on; }
  const std::vector<cluster::FragmentSearchStats>& PieceSearches() const { return m_pieceSearches; }

  // IItemFragments: the runs a file put together from pieces is read from.
  int32_t FragmentCount(const ItemRecord& item) override;
  bool Reassembled(const ItemRecord& item) override { return FragmentCount(item) > 1; }

  // Whether FinishExFatScan scores where a directory continues past its
  // first clusters (on by default; off: only into its next clusters, for
  // measuring what the scoring costs).
  void SetContinuationScoring(bool on) { m_scoreContinuations = on; }

  // The geometry the last finish settled on.
  const std::optional<DeepGeometry>& SettledGeometry() const { return m_geometry; }
  // Directory sectors not kept because the run bound was reached.
  uint64_t DroppedDirectorySectors() const { return m_droppedSectors; }
  size_t DirectoryRuns() const { return m_runs.size(); }
  std::string StoreBaseName();
  // The store of the last scan (null before one).
  store::ScanStore* ResultStore() { return m_browser.Store(); }

 private:
  struct Run {
    uint64_t firstSector;  // absolute
    uint64_t sectorCount;
  };
  struct Finish;  // the state of FinishExFatScan

  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;
  void ResetScan();

  ExFatVolume m_volume;
  uint16_t m_driveLetter = 0;
  const LiveAllocation* m_live = nullptr;
  bool m_searchPieces = true;
  std::vector<cluster::FragmentSearchStats> m_pieceSearches;
  bool m_scoreContinuations = true;
  std::vector<Run> m_runs;
  uint64_t m_droppedSectors = 0;
  std::optional<DeepGeometry> m_bootGeometry;
  std::optional<ExFatGeometry> m_bootLayout;  // the boot region's, for its FAT
  std::optional<DeepGeometry> m_geometry;

  store::StoreBrowser m_browser;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
};

}  // namespace engine::exfat
