// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/deep/deep_scan_state.h"
#include "engine/deep/duplicate_index.h"
#include "engine/deep/file_type_recovery.h"
#include "engine/deep/scan_extents.h"
#include "engine/exfat/professional_exfat_recovery.h"
#include "engine/ext4/professional_ext4_recovery.h"
#include "engine/fat/professional_fat_recovery.h"
#include "engine/file_recovery_parse.h"
#include "engine/item_fragments.h"
#include "engine/item_placement.h"
#include "engine/live_allocation.h"
#include "engine/ntfs/professional_ntfs_recovery.h"
#include "storage/sector_source.h"

namespace engine::deep {

class CarveAhead;

// The engine of the deep mode, for formatted and damaged volumes: it lets
// the volume's fast engine (FAT, NTFS or exFAT, when its file system still
// opens) scan the intact file system, then reads the volume once, only its
// free space when the fast engine maps it, in 64 KiB pieces, and hands every
// sector to exactly one raw engine: a plausible NTFS file record to the
// professional NTFS engine, a FAT directory start or directory sector to the
// professional FAT engine, an exFAT directory sector to the professional
// exFAT engine, anything else to the signature scanner, which may take a
// whole carved file at once. Afterwards it lists, counts, searches,
// previews and copies out every item through the engine that found it
// (sourceKind), and shows a file that several engines found once (see
// DuplicateIndex). Sectors the fast engine read as directories or as the MFT
// are not handed to the raw engines, so what the intact file system lists
// is not listed again.
//
// A scan that stops early (cancelled, failed, the device gone) keeps its
// state (DeepScanState) and the log of what the file-system engines were
// handed (ReplayLog) in its scan folder; Scan with a previous name reopens a
// finished scan there, or continues an unfinished one from where it
// stopped, with the raw engines holding what they held then.
//
// All engines read one source, opened read-only. One thread at a time.
class CProfessionalRecovery final : public IFileRecoveryParse, public IItemFragments, public IItemPlacement {
 public:
  CProfessionalRecovery();
  ~CProfessionalRecovery() override;
  CProfessionalRecovery(const CProfessionalRecovery&) = delete;
  CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

  // Slot 0: the whole image file (or container media) is the volume, in
  // 512-byte sectors.
  [[nodiscard]] Status OpenImage(const std::string& imagePath, uint16_t driveLetter) override;
  // Slot 1: the volume at startSector of disk diskNumber, in the disk's
  // logical sectors (sectorCount 0: to the disk's end).
  [[nodiscard]] Status OpenPartition(int32_t diskNumber, uint64_t startSector, uint64_t sectorCount,
                                     uint16_t driveLetter) override;
  // Slot 2: the fast engine reports with weight 9, the raw scan with 90, so
  // one bar runs 0-9 over the fast scan, 9-99 over the raw scan, 100 at the end.
  Status SetProgressCallbacks(ScanProgressFn scanFn, CopyProgressFn copyFn, void* userData, int32_t weight) override;
  // Slot 3: a new scan in the scan index's current folder (null or empty
  // name), or with any name the stored scan of that folder: reopened when it
  // finished, continued when it did not (reopened as it is when the name is
  // kDeepViewOnly). 0, -9527, or the error that ended
  // the scan; what was found up to then stays listable in every case.
  [[nodiscard]] Status Scan(const char* previousName) override;
  // Slot 4: null lists the roots of the fast engine, the professional FAT,
  // exFAT and NTFS engines and the signature scanner; a folder lists through the
  // engine that found it. What this call appends is sorted stably: files
  // before folders, then by name, case-insensitive. Duplicates are left out.
  [[nodiscard]] Status ListChildren(const ItemRecord* folder, int32_t depth, std::vector<ItemRecord>& out) override;
  [[nodiscard]] Status CountFiles(const ItemRecord* folder, int32_t depth, int32_t* outCount) override;
  uint64_t GetItemCount() override;
  [[nodiscard]] Status GetItemPath(const ItemRecord* item, std::string& out) override;
  [[nodiscard]] Status RecoverItem(const ItemRecord* item, const std::string& destinationPath,
                                   int32_t rootSeparatorCount) override;
  // Slot 9: not supported (0).
  int32_t GetNextFreeExtent(uint64_t* inoutSector, uint64_t* outSectorCount) override;
  Status SetSearchCallback(SearchProgressFn fn, void* userData) override;
  // Slot 11: the search of every engine, duplicates left out, sorted as
  // ListChildren sorts. 1, or 0 when an engine's results could not be read
  // (out then holds what could).
  int32_t Search(const std::string& pattern, std::vector<ItemRecord>& out) override;
  Status BuildAllocationMap() override;
  [[nodiscard]] Status ExtractItem(const ItemRecord* item, std::string& outTempPath, uint8_t* buffer,
                                   uint32_t* inoutLength, ExtractProgressFn fn, void* userData) override;

  // IItemFragments: the fast FAT engine's layout of a deleted file, else 1.
  int32_t FragmentCount(const ItemRecord& item) override;
  bool Reassembled(const ItemRecord& item) override;
  // IItemPlacement: where the item's data begins on the source, in bytes.
  bool FirstDataByte(const ItemRecord& item, uint64_t* byteOffset) override;

  // Opens the coordinator on a source the caller keeps (tests): the volume
  // starts at startSector and holds sectorCount sectors (0: to the end), in
  // the source's unit (its deviceSectorSize). The fast engine is made for
  // what the volume's first 16 KiB hold.
  [[nodiscard]] Status OpenSharedSource(storage::SectorSource& source, uint64_t startSector, uint64_t sectorCount,
                                        uint16_t driveLetter);

  // Threads that classify the raw scan's sectors: 1, the pass alone; more
  // measure the carver's candidates ahead of it (the result is the same);
  // 0 (the default), one per processor, at most 8.
  void SetScanThreads(uint32_t threads) { m_scanThreads = threads; }
  // Of the last pass: candidates measured ahead and taken, and those the
  // pass measured itself.
  uint64_t MeasuredAheadTaken() const { return m_aheadTaken; }
  uint64_t MeasuredAheadMissed() const { return m_aheadMissed; }

  // --- what the last Scan found out, for the user ---------------------------
  // How the fast engine's scan ended: 0, or why the file system could not be
  // read (the whole volume was then read by the raw engines).
  Status FastScanStatus() const { return m_fastStatus; }
  bool HasFastEngine() const { return m_fast != nullptr; }
  // True when only the free space the fast engine mapped was read.
  bool ScannedFreeSpaceOnly() const { return m_state.freeSpaceOnly; }
  // Sectors that could not be read (each was tried on its own).
  uint64_t UnreadableSectors() const { return m_state.unreadableSectors; }
  // Sectors the raw scan read, and of how many.
  uint64_t SectorsDone() const { return m_state.sectorsDone; }
  uint64_t SectorsTotal() const { return m_totalSectors; }
  // Whether the last scan (or the stored one reopened) read everything.
  bool Finished() const { return m_state.finished; }
  // Why the kept scan the last Scan(name) was to reopen or continue could
  // not be used (kNone when it was, or for a new scan).
  KeptStateFault KeptFault() const { return m_keptFault; }

  // A value that changes when the volume is written: the fast engine's
  // fingerprint, or for a volume without a readable file system a hash of
  // samples spread over it. 0 when it cannot be read.
  uint64_t VolumeFingerprint();

  // The engines themselves (tests, benchmarks).
  IFileRecoveryParse* FastEngine() { return m_fast.get(); }
  fat::CProfessionalFatRecovery& ProfessionalFat() { return m_proFat; }
  ntfs::CProfessionalNtfsRecovery& ProfessionalNtfs() { return m_proNtfs; }
  exfat::CProfessionalExFatRecovery& ProfessionalExFat() { return m_proExFat; }
  ext4::CProfessionalExt4Recovery& ProfessionalExt4() { return m_proExt4; }
  CFileTypeRecovery& SignatureScanner() { return m_carver; }

 private:
  struct Pass;  // one pass over the extents (professional_scan.cpp)

  // Threads measuring the carver's candidates ahead of the pass, when more
  // than one thread is to classify and the source gives readers for them.
  std::unique_ptr<CarveAhead> StartCarveAhead();
  [[nodiscard]] Status RunPassOver(CarveAhead* ahead);

  // Opens the raw engines and the fast engine on m_source.
  [[nodiscard]] Status OpenEngines(uint16_t driveLetter);
  // Every engine that may hold items, the fast one first (null when there is none).
  std::array<IFileRecoveryParse*, 6> Engines();
  // The engine that owns items of sourceKind; null for none.
  IFileRecoveryParse* EngineOf(int32_t sourceKind);
  uint32_t SectorBytesOf(int32_t sourceKind) const;

  // Scan (professional_scan.cpp).
  [[nodiscard]] Status ScanFresh();
  // readOn: an unfinished scan is continued (else only reopened as it is).
  [[nodiscard]] Status ScanStored(const std::string& folder, bool readOn);
  [[nodiscard]] Status RunFastScan(const std::string& fastLog);
  void ChooseExtents();
  // Hands the professional FAT engine the deleted directories the fast
  // engine walked (m_walkedFree), as directories another engine lists: their
  // later clusters join them. Asks the callback whether to go on before every
  // piece read: 0, its answer, or 1617 when the device is gone.
  [[nodiscard]] Status HandWalkedDeletedDirectories();
  [[nodiscard]] Status BeginRawEngines(const std::string& folder, const std::string& fileTypeLog);
  // Hands the logged sectors (checked against the volume) to the engines again.
  [[nodiscard]] Status Replay(const std::vector<ReplayRun>& runs);
  [[nodiscard]] Status RunPass(const std::string& folder);
  [[nodiscard]] Status FinishRawEngines();
  void SaveState(const std::string& folder, Status* status);
  // What the volume's live file system holds now, from the fast engine's
  // free-space map (unknown without a readable file system).
  void LearnLiveAllocation();
  void BuildDuplicateIndex();
  // Judges the carved files (what the live file system holds, their own
  // structure) that no other engine's file hides; a store error goes to *status.
  void JudgeCarvedFiles(Status* status);
  // Carved text over which another engine's file begins ran on into that
  // file (text has no structure to tell where it ends): damaged
  // (carved_text_judge.cpp).
  [[nodiscard]] Status JudgeCarvedText();
  // Reports the raw scan at sectorsDone (never below what was reported before).
  int32_t ReportRaw(uint64_t sectorsDone, int32_t remainingSeconds);
  static int32_t OnReadAhead(void* user, int32_t percent, int32_t weight, int32_t remainingSeconds,
                             uint64_t sectorsDone, uint64_t sectorsTotal, uint64_t filesFound, int32_t reserved);

  // A sector of the coordinator's unit as the professional NTFS engine counts.
  bool NtfsSectorOf(uint64_t sector, uint64_t* ntfsSector) const;

  storage::SectorSource m_owned;              // opened here (image or disk)
  storage::SectorSource* m_source = nullptr;  // m_owned or the caller's
  uint32_t m_sectorBytes = 512;
  uint64_t m_volumeStart = 0;
  uint64_t m_sectorCount = 0;
  int32_t m_diskNumber = 128;
  uint16_t m_driveLetter = 0;
  bool m_isOpen = false;

  std::unique_ptr<IFileRecoveryParse> m_fast;
  uint32_t m_fastSectorBytes = 512;
  fat::CProfessionalFatRecovery m_proFat;
  ntfs::CProfessionalNtfsRecovery m_proNtfs;
  exfat::CProfessionalExFatRecovery m_proExFat;
  ext4::CProfessionalExt4Recovery m_proExt4;
  CFileTypeRecovery m_carver;

  ScanExtents m_extents;
  // Free sectors the fast engine walked as directories: deleted directories
  // it lists, whose later clusters the raw scan may find.
  std::vector<SectorExtent> m_walkedFree;
  LiveAllocation m_live;
  DeepScanState m_state;
  uint64_t m_totalSectors = 0;
  uint64_t m_reportedDone = 0;
  ReplayLog m_replay;
  Status m_fastStatus = kStatusOk;
  KeptStateFault m_keptFault = KeptStateFault::kNone;
  bool m_carverFull = false;
  uint32_t m_scanThreads = 0;
  uint64_t m_aheadTaken = 0;
  uint64_t m_aheadMissed = 0;

  DuplicateIndex m_duplicates;

  ScanProgressFn m_scanFn = nullptr;
  CopyProgressFn m_copyFn = nullptr;
  void* m_userData = nullptr;
  SearchProgressFn m_searchFn = nullptr;
  void* m_searchUserData = nullptr;
};

}  // namespace engine::deep
