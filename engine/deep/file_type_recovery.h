// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/item_copy_out.h"
#include "engine/live_allocation.h"
#include "engine/signatures/carve_context.h"
#include "engine/signatures/carve_sector.h"
#include "engine/store/store_browser.h"
#include "engine/volume_sectors.h"
#include "storage/sector_source.h"

namespace engine::deep {

// The signature scanner (source kind 4): turns the file signature
// recognisers into listable, copyable items. It does not walk the volume:
// the deep-scan coordinator hands it, one at a time, every sector that holds
// no file-system metadata (CarveAndRecord); each file recognised there
// becomes one record named "<absolute sector>.<extension>" under the root of
// the engine's own store ("File_Type_..."), and the engine answers how many
// sectors the scan moves on by. Afterwards it lists, counts, searches,
// previews and copies out those files like any engine; there are no folders.
//
// The engine owns its carving context (the read-ahead and probe buffers,
// the stream state of its scan), so two scans in one process never share
// carving state. The source is only ever read. One thread at a time: the
// coordinator's scan thread while it carves, a job thread afterwards.
class CFileTypeRecovery final : public IFileRecoveryParse, private IItemCopySource {
 public:
  CFileTypeRecovery();
  ~CFileTypeRecovery() override;
  CFileTypeRecovery(const CFileTypeRecovery&) = delete;
  CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

  // Slot 0: replaces the store with a fresh "File_Type_0_..." one, then
  // opens the image (the whole file is the volume). The store exists also
  // when the open fails; returns the open status, else the store's.
  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  // Slot 1: as OpenImage on disk diskNumber; the log name carries startSector.
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  // Slot 2: also the callback the carving context reports read-ahead through.
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // Slot 3: 0; the coordinator drives the scan through CarveAndRecord.
  [[nodiscard]] Status Scan(const char* previousName) override;
  // Slot 4: the root lists every carved file in child order; any other
  // folder lists nothing and returns 0.
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  // Slot 5: the root's files; any other folder 0 files.
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  // Slot 7: 0 and nothing written (carved files have no folder path).
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  // Slot 8: the file's bytes from its first sector, exactly its size (whole
  // sectors are read, the last one cut), never past the volume's end: a
  // file that would run past it fails with 30 and leaves nothing.
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  // Slot 10: 87 before a store exists, else 0.
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  // Slot 13: photos to "tmp.jpg", audio and video to "tmp.avi", previewable
  // documents under their own name in the data folder; others into buffer.
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // Opens the engine on a source the caller keeps and shares with other
  // engines (the coordinator's, a test's); it must outlive the engine. The
  // volume starts at startSector and holds sectorCount sectors (0: to the
  // source's end), counted in sectorSize units, the unit of the source's
  // sector numbers (512 for image and memory sources). Replaces the store
  // with a fresh one named after startSector; returns its status.
  [[nodiscard]] Status OpenSharedSource(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                        uint64_t sectorCount, uint16_t driveLetter);

  // Carves one sector (length bytes, a sector of sectorSize) found at
  // absoluteSector. reader is the source every read-ahead goes to (the
  // coordinator's own; null: the engine's), never past the engine's volume.
  // position describes the whole scan for the progress reports made during
  // read-ahead. On a carve: one record is appended under the root,
  // *skipSectors receives the sectors to move on by (one for the kinds that
  // may enclose other files, else the whole file) and *inoutFilesFound grows
  // by one; returns 0. Nothing recognised: 87, the outputs untouched. The
  // progress callback asked to stop during read-ahead: -9527, no record.
  // The store has no room for the record: 8.
  [[nodiscard]] Status CarveAndRecord(uint32_t sectorSize, const uint8_t* sector, size_t length,
                                      uint64_t absoluteSector, const signatures::CarveScanPosition& position,
                                      storage::SectorSource* reader, uint64_t* skipSectors, uint64_t* inoutFilesFound);

  // The first absolute sector past the run of sectors the coordinator is
  // scanning (free space between files in use); 0: unknown. Text carved in
  // the run stops there: the sectors after it are another file's.
  void SetRunEnd(uint64_t absoluteSector) { m_context.runEnd = absoluteSector; }
  // Candidates measured ahead of the scan by other threads (borrowed; null: none).
  void SetMeasuredAhead(signatures::MeasuredAhead* ahead) { m_context.ahead = ahead; }
  // Sectors the caller holds in memory, read whole: the carver reads them from there.
  void SetResident(const uint8_t* bytes, uint64_t first, uint64_t count) { m_context.SetResident(bytes, first, count); }

  // As OpenSharedSource, with the store of an earlier scan (logName, a file
  // name in the scan index's current folder) reopened to be added to.
  [[nodiscard]] Status OpenSharedLog(storage::SectorSource& source, uint32_t sectorSize, uint64_t startSector,
                                     uint64_t sectorCount, uint16_t driveLetter, const std::string& logName);

  // Reopen the store of an earlier scan (logName, a file name in the scan
  // index's current folder) instead of scanning, on the disk's volume or the
  // image. The store is replaced also when the open fails; returns the open
  // status, else the store's.
  [[nodiscard]] Status ReopenPartitionLog(uint32_t sectorSize, int32_t diskNumber, uint64_t startSector,
                                          uint64_t sectorCount, const std::string& logName, uint16_t driveLetter);
  [[nodiscard]] Status ReopenImageLog(uint32_t sectorSize, const std::string& logName, uint16_t driveLetter,
                                      const std::string& imagePath);

  // Judges every carved file still taken for intact: overwritten when its
  // sectors touch what live holds (null: nothing known), damaged when its
  // own structure breaks (a decoder, a chunk walk), as far as it can be read
  // (a read error leaves a file as it is). Records are rewritten in place.
  // Returns 0 or the store's error.
  // Files for which skip(id) is true (shown through another engine) are
  // left as they are.
  [[nodiscard]] Status JudgeCarvedFiles(const LiveAllocation* live, const std::function<bool(int32_t)>& skip = {});

  // Whether every record of a reopened store is a carved file whose data
  // lies inside this engine's volume, numbered as its place in the store
  // (a store that anything but this engine changed is not).
  [[nodiscard]] bool StoredFilesFit();

  // Forgets the transport streams carved so far (start of every deep scan).
  void ClearStreamExtents() { m_context.ClearStreamExtents(); }

  // The store the results are kept in (null before a scan), for a caller
  // that walks every record once.
  store::ScanStore* ResultStore() { return m_browser.Store(); }
  // Name of the store's files ("File_Type_..."), empty without a store.
  std::string StoreBaseName();

 private:
  // Replaces the store: a fresh one named after volumeStart, or the stored
  // scan *logName reopened (87 for an empty name).
  [[nodiscard]] Status ReplaceStore(int64_t volumeStart, const std::string* logName);
  // IItemCopySource: the file's sectors from its first one; no folders.
  [[nodiscard]] Status CopyItemData(const ItemRecord& item, uint64_t byteCount, ICopySink& sink,
                                    const CopyProgress& progress) override;
  [[nodiscard]] Status ListFolder(const ItemRecord& folder, int32_t depth, std::vector<ItemRecord>& out) override;

  VolumeSectors m_volume;
  uint16_t m_driveLetter = 0;
  uint32_t m_sectorSize = 512;

  signatures::CarveContext m_context;
  signatures::CarvedFile m_carved;
  store::StoreBrowser m_browser;
  std::vector<uint8_t> m_copyBuffer;  // 64 KiB, for copy-out and extraction

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  int32_t m_weight = 100;
};

}  // namespace engine::deep
