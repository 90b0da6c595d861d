// SPDX-License-Identifier: GPL-3.0-or-later
// The deep scan: the fast engine's scan, the choice of what to read, one pass
// over it handing every sector to one raw engine, and the finish.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "engine/boot_sector_tests.h"
#include "engine/deep/carve_ahead.h"
#include "engine/deep/professional_recovery.h"
#include "engine/exfat/exfat_directory_sector.h"
#include "engine/exfat/fast_exfat_recovery.h"
#include "engine/ext4/fast_ext4_recovery.h"
#include "engine/fat/fast_fat_recovery.h"
#include "engine/fat_dir_entry.h"
#include "engine/ntfs/fast_ntfs_recovery.h"
#include "engine/ntfs/mft_record.h"
#include "engine/store/scan_index.h"
#include "engine/store/scan_store.h"
#include "platform/disk_table.h"
#include "platform/folders.h"

namespace engine::deep {
namespace {

using Clock = std::chrono::steady_clock;

// The pass reads and classifies this much at a time; a read that fails is
// tried again in pieces of kRetryBytes, and sector by sector inside those
// that fail too.
constexpr size_t kChunkBytes = 1048576;
constexpr size_t kRetryBytes = 65536;
// The remaining time is estimated at most this often.
constexpr auto kEstimateInterval = std::chrono::seconds(5);
// A replay asks whether to go on after every this many sectors handed over.
constexpr uint64_t kReplayReportSectors = 16;

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The record file of the store whose name contains prefix, in folder.
std::string FindStoreName(const std::string& folder, const char* prefix) {
  for (const std::string& name : platform::ListFolder(folder)) {
    if (name.empty() || name[0] == '.' || name.find(prefix) == std::string::npos) continue;
    if (EndsWith(name, "_Relation") || EndsWith(name, "_DirInfo") || EndsWith(name, "_Layout")) continue;
    return name;
  }
  return {};
}

// Deletes the files a deep scan keeps in folder whose names contain one of prefixes.
void RemoveScanFiles(const std::string& folder, std::initializer_list<const char*> prefixes) {
  for (const std::string& name : platform::ListFolder(folder)) {
    if (name.empty() || name[0] == '.') continue;
    for (const char* prefix : prefixes) {
      if (name.find(prefix) != std::string::npos) {
        (void)platform::RemoveTree(folder + name);
        break;
      }
    }
  }
}

// The sectors of sectorBytes the file system at startSector of source says
// it spans; 0 when its first 16 KiB cannot be read or name no size.
uint64_t FileSystemSectors(storage::SectorSource& source, uint64_t startSector, uint32_t sectorBytes) {
  const uint32_t unit = source.deviceSectorSize != 0 ? source.deviceSectorSize : 512;
  if (unit > kClassifyBytes || sectorBytes == 0) return 0;
  std::vector<uint8_t> head(kClassifyBytes);
  uint32_t got = 0;
  if (storage::ReadSectors(static_cast<uint32_t>(head.size() / unit), source, head.data(), startSector, unit, &got) !=
      kStatusOk) {
    return 0;
  }
  return (FileSystemBytes(head.data(), head.size()) + sectorBytes - 1) / sectorBytes;
}

// The sectors of free (sorted, disjoint) that the byte runs walked (sorted,
// disjoint) cover: directories the fast engine read although the volume's
// file system no longer holds them, its deleted directories.
std::vector<SectorExtent> FreeAndWalked(const std::vector<SectorExtent>& free, const std::vector<ByteRun>& walked,
                                        uint32_t sectorBytes) {
  std::vector<SectorExtent> out;
  size_t f = 0;
  for (const ByteRun& run : walked) {
    if (sectorBytes == 0 || run.length == 0) continue;
    const uint64_t first = run.offset / sectorBytes;
    const uint64_t end = first + (run.offset % sectorBytes + run.length + sectorBytes - 1) / sectorBytes;
    while (f < free.size() && free[f].start + free[f].count <= first) ++f;
    for (size_t k = f; k < free.size() && free[k].start < end; ++k) {
      const uint64_t from = std::max(first, free[k].start);
      const uint64_t to = std::min(end, free[k].start + free[k].count);
      if (from < to) out.push_back(SectorExtent{from, to - from});
    }
  }
  return out;
}

// Threads that classify beside the pass: asked, or one per processor, at most 8.
uint32_t ScanThreadsFor(uint32_t asked) {
  if (asked != 0) return asked;
  return std::clamp<uint32_t>(std::thread::hardware_concurrency(), 1, 8);
}

}  // namespace

// The state of one pass over the extents.
struct CProfessionalRecovery::Pass {
  explicit Pass(CProfessionalRecovery& owner)
      : self(owner),
        unit(owner.m_sectorBytes),
        chunkSectors(static_cast<uint32_t>(std::max<size_t>(1, kChunkBytes / owner.m_sectorBytes))),
        recordBytes(owner.m_proNtfs.RecordBytes()),
        recordSectors(std::max<uint32_t>(1, (owner.m_proNtfs.RecordBytes() + unit - 1) / unit)),
        chunk(static_cast<size_t>(chunkSectors) * unit),
        record(static_cast<size_t>(recordSectors) * unit),
        bad(chunkSectors, 0),
        start(Clock::now()),
        lastEstimate(start) {}

  // Makes data the count sectors at absolute sector `at`: those the threads
  // measuring ahead read already, else read into chunk. Sectors that cannot
  // be read are tried again in smaller pieces, then one by one; those that
  // still fail are zeros, marked in bad (counted by the pass as it moves
  // past them). Only a device that is gone fails the read.
  Status ReadChunk(uint64_t at, uint32_t count, CarveAhead* ahead) {
    std::fill(bad.begin(), bad.end(), 0);
    whole = true;
    borrowed.reset();
    data = ahead != nullptr ? ahead->Borrow(at, count, &borrowed) : nullptr;
    if (data != nullptr) return kStatusOk;
    data = chunk.data();
    uint32_t got = 0;
    const Status s = storage::ReadSectors(count, *self.m_source, chunk.data(), at, unit, &got);
    if (s == kStatusOk && got == count) return kStatusOk;
    if (s == platform::kErrorDeviceRemoved) return s;
    // The rest in small pieces, so one bad sector costs few single reads.
    const uint32_t pieceSectors = std::max<uint32_t>(1, static_cast<uint32_t>(kRetryBytes / unit));
    uint32_t failed = 0;
    for (uint32_t piece = got; piece < count; piece += pieceSectors) {
      const uint32_t n = std::min(pieceSectors, count - piece);
      uint32_t arrived = 0;
      uint8_t* bytes = chunk.data() + static_cast<size_t>(piece) * unit;
      const Status p = storage::ReadSectors(n, *self.m_source, bytes, at + piece, unit, &arrived);
      if (p == platform::kErrorDeviceRemoved) return p;
      if (p == kStatusOk && arrived == n) continue;
      for (uint32_t i = piece + std::min(arrived, n); i < piece + n; ++i) {
        uint8_t* sector = chunk.data() + static_cast<size_t>(i) * unit;
        uint32_t one = 0;
        const Status r = storage::ReadSectors(1, *self.m_source, sector, at + i, unit, &one);
        if (r == platform::kErrorDeviceRemoved) return r;
        if (r != kStatusOk || one != 1) {
          std::memset(sector, 0, unit);
          bad[i] = 1;
          whole = false;
          ++failed;
        }
      }
    }
    if (failed == count && self.m_diskNumber != 128) {
      // Nothing of a disk could be read: is the disk still there?
      const std::string path = platform::DiskPath(self.m_diskNumber);
      if (path.empty() || !platform::PathExists(path)) return platform::kErrorDeviceRemoved;
    }
    return kStatusOk;
  }

  // Hands the sectors of the chunk (count of them, the first at absolute
  // sector `at`) to the raw engines. *advance receives the sectors to move on
  // by: count, more when a record or a carved file runs past the chunk, fewer
  // when the scan was cancelled inside it (at the exact sector).
  Status Classify(uint64_t at, uint32_t count, uint64_t* advance) {
    uint64_t i = 0;
    Status status = kStatusOk;
    // The carver reads what lies in a chunk read whole from the chunk.
    self.m_carver.SetResident(whole ? data : nullptr, at, count);
    // For the reports made during read-ahead: counted once a piece, then as the carver finds files.
    uint64_t filesFound = self.GetItemCount();
    while (i < count) {
      if (bad[i] != 0) {
        ++i;
        continue;
      }
      const uint8_t* sector = data + i * unit;
      const uint64_t absolute = at + i;
      const size_t left = static_cast<size_t>(count - i) * unit;
      if (sector[0] == 'F' && ntfs::IsPlausibleFileRecord(ByteView(sector, left), recordBytes)) {
        HandRecord(sector, left, absolute);
        i += recordSectors;
        continue;
      }
      if (sector[0] == '.' && IsDirectoryStart(sector, unit)) {
        self.m_proFat.HandleDirectoryStart(sector, unit, absolute);
        self.m_replay.Add(ReplayKind::kFatDirectoryStart, absolute, 1);
        ++i;
        continue;
      }
      if (IsDirectorySector(sector, unit)) {
        self.m_proFat.HandleDirectorySector(sector, unit, absolute);
        self.m_replay.Add(ReplayKind::kFatDirectorySector, absolute, 1);
        ++i;
        continue;
      }
      if (self.m_proExt4.WantsSector(absolute) && HandExt4(sector, left, absolute)) {
        i += self.m_proExt4.BlockSectors();
        continue;
      }
      if (exfat::IsExFatDirectorySector(sector, left, unit)) {
        self.m_proExFat.HandleExFatDirectorySector(sector, left, absolute);
        self.m_replay.Add(ReplayKind::kExFatDirectorySector, absolute, 1);
        ++i;
        continue;
      }
      if (self.m_carverFull) {
        ++i;
        continue;
      }
      signatures::CarveScanPosition position;
      position.sectorsDone = self.m_state.sectorsDone + i;
      position.sectorsTotal = self.m_totalSectors;
      position.remainingSeconds = remainingSeconds;
      position.filesFound = filesFound;
      uint64_t skip = 0;
      uint64_t found = 0;
      const Status carved =
          self.m_carver.CarveAndRecord(unit, sector, unit, absolute, position, self.m_source, &skip, &found);
      filesFound += found;
      if (carved == kStatusOk) {
        i += std::max<uint64_t>(skip, 1);
        continue;
      }
      if (carved == kStatusCancelled) {
        status = carved;
        break;
      }
      if (carved == kStatusOutOfMemory) self.m_carverFull = true;  // reported when the scan ends
      ++i;
    }
    self.m_carver.SetResident(nullptr, 0, 0);
    *advance = i;
    return status;
  }

  // A plausible file record at absolute sector: the whole record, read again
  // when it runs past the chunk.
  void HandRecord(const uint8_t* sector, size_t left, uint64_t absolute) {
    const uint8_t* bytes = sector;
    if (left < recordBytes) {
      // Never read past the volume: a record cut by its end is no record.
      if (recordSectors > self.m_volumeStart + self.m_sectorCount - absolute) return;
      uint32_t got = 0;
      if (storage::ReadSectors(recordSectors, *self.m_source, record.data(), absolute, unit, &got) != kStatusOk) {
        return;  // the rest of the record cannot be read: no record
      }
      bytes = record.data();
    }
    uint64_t ntfsSector = 0;
    if (!self.NtfsSectorOf(absolute, &ntfsSector)) return;
    (void)self.m_proNtfs.HandleRecord(bytes, recordBytes, ntfsSector);
    self.m_replay.Add(ReplayKind::kNtfsRecord, absolute, recordSectors);
  }

  // A block at a block start of the ext geometry: the whole block, read
  // again when it runs past the chunk. True when the ext engine kept it.
  bool HandExt4(const uint8_t* sector, size_t left, uint64_t absolute) {
    const uint32_t sectors = self.m_proExt4.BlockSectors();
    const uint8_t* bytes = sector;
    if (left < size_t{sectors} * unit) {
      block.resize(size_t{sectors} * unit);
      uint32_t got = 0;
      if (storage::ReadSectors(sectors, *self.m_source, block.data(), absolute, unit, &got) != kStatusOk) return false;
      bytes = block.data();
    }
    if (!self.m_proExt4.HandleExt4Block(bytes, size_t{sectors} * unit, absolute)) return false;
    self.m_replay.Add(ReplayKind::kExt4Block, absolute, sectors);
    return true;
  }

  // Progress after a chunk; the callback's answer.
  int32_t Report() {
    const auto now = Clock::now();
    if (now - lastEstimate >= kEstimateInterval) {
      lastEstimate = now;
      const uint64_t seconds = std::max<uint64_t>(
          1, static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - start).count()));
      const uint64_t speed = std::max<uint64_t>(1, self.m_state.sectorsDone * unit / seconds);
      const uint64_t left =
          self.m_totalSectors > self.m_state.sectorsDone ? self.m_totalSectors - self.m_state.sectorsDone : 0;
      remainingSeconds = static_cast<int32_t>(std::min<uint64_t>(left * unit / speed, INT32_MAX));
    }
    return self.ReportRaw(self.m_state.sectorsDone, remainingSeconds);
  }

  CProfessionalRecovery& self;
  const uint32_t unit;
  const uint32_t chunkSectors;
  const uint32_t recordBytes;
  const uint32_t recordSectors;
  std::vector<uint8_t> chunk;
  const uint8_t* data = nullptr;         // the sectors being classified: chunk's, or borrowed
  std::shared_ptr<const void> borrowed;  // keeps the borrowed sectors
  bool whole = false;                    // no sector of data is unreadable
  std::vector<uint8_t> record;
  std::vector<uint8_t> block;
  std::vector<uint8_t> bad;
  int32_t remainingSeconds = -1;
  Clock::time_point start;
  Clock::time_point lastEstimate;
};

int32_t CProfessionalRecovery::ReportRaw(uint64_t sectorsDone, int32_t remainingSeconds) {
  if (m_scanFn == nullptr) return 0;
  // Read-ahead may have shown sectors further on than the scan then took: the bar never runs back.
  m_reportedDone = std::max(m_reportedDone, std::min(sectorsDone, m_totalSectors));
  const uint64_t total = std::max<uint64_t>(1, m_totalSectors);
  const auto percent = static_cast<int32_t>(std::min<uint64_t>(m_reportedDone * 100 / total, 100) + 10);
  return m_scanFn(m_userData, percent, 90, remainingSeconds, m_reportedDone, m_totalSectors, GetItemCount(), 0);
}

int32_t CProfessionalRecovery::OnReadAhead(void* user, int32_t, int32_t, int32_t remainingSeconds, uint64_t sectorsDone,
                                           uint64_t, uint64_t, int32_t) {
  return static_cast<CProfessionalRecovery*>(user)->ReportRaw(sectorsDone, remainingSeconds);
}

Status CProfessionalRecovery::Scan(const char* previousName) {
  if (!m_isOpen) return platform::kErrorInvalidHandle;
  m_keptFault = KeptStateFault::kNone;
  m_duplicates.Clear();
  m_carverFull = false;
  auto& index = store::ScanIndex::Instance();
  std::string folder = index.CurrentScanFolder();
  if (previousName != nullptr && previousName[0] != '\0') {
    if (folder.empty()) return kStatusInvalidParameter;
    return ScanStored(folder, std::string_view(previousName) != kDeepViewOnly);
  }
  if (folder.empty()) {
    if (Status s = index.NewScanFolder(); s != kStatusOk) return s;
    folder = index.CurrentScanFolder();
  }
  return ScanFresh();
}

Status CProfessionalRecovery::ScanFresh() {
  const std::string folder = store::ScanIndex::Instance().CurrentScanFolder();
  // Whatever an earlier scan left in this folder would be found by name later.
  RemoveScanFiles(folder, {store::kFastLogPrefix, store::kProFatLogPrefix, store::kProNtfsLogPrefix,
                           exfat::kProExFatLogPrefix, ext4::kProExt4LogPrefix, store::kFileTypeLogPrefix, kDeepStateName,
                           kDeepReplayName});
  m_state = DeepScanState{};
  m_state.sectorBytes = m_sectorBytes;
  m_state.volumeStart = m_volumeStart;
  m_state.sectorCount = m_sectorCount;
  if (Status s = RunFastScan({}); s != kStatusOk) return s;  // cancelled: nothing of the raw scan begun
  ChooseExtents();
  Status status = BeginRawEngines(folder, {});
  if (status == kStatusOk) status = HandWalkedDeletedDirectories();
  if (status == kStatusOk) status = m_replay.Open(folder, 0);
  if (status == kStatusOk) status = RunPass(folder);
  const Status finished = FinishRawEngines();
  if (status == kStatusOk) status = finished;
  // The carved files are judged before the state is kept: the kept store's hash covers their verdicts.
  BuildDuplicateIndex();
  JudgeCarvedFiles(&status);
  SaveState(folder, &status);
  return status;
}

Status CProfessionalRecovery::ScanStored(const std::string& folder, bool readOn) {
  // The kept files are checked whole before anything of them is used: a
  // state that fails a check is never used in part.
  DeepScanState saved;
  if (Status s = ReadDeepScanState(folder, &saved, &m_keptFault); s != kStatusOk) {
    if (m_keptFault == KeptStateFault::kNone) m_keptFault = KeptStateFault::kUnreadable;
    return s;
  }
  m_keptFault = CheckDeepScanState(saved, m_sectorBytes, m_volumeStart, m_sectorCount);
  if (m_keptFault == KeptStateFault::kOtherVolume) return kStatusInvalidParameter;
  if (m_keptFault != KeptStateFault::kNone) return platform::kErrorInvalidData;
  const std::string fileTypeLog = FindStoreName(folder, store::kFileTypeLogPrefix);
  uint64_t carved = 0;
  if (HashStoreFiles(folder, fileTypeLog, &carved) != kStatusOk || carved != saved.carvedStoreHash) {
    m_keptFault = KeptStateFault::kCarvedFiles;
    return platform::kErrorInvalidData;
  }
  const bool continuing = !saved.finished && readOn;
  std::vector<ReplayRun> runs;
  if (continuing) {
    const uint32_t recordSectors = std::max<uint32_t>(1, (m_proNtfs.RecordBytes() + m_sectorBytes - 1) / m_sectorBytes);
    (void)m_proExt4.PrepareExt4Geometry();  // the block size an ext entry spans (none without a superblock)
    const uint32_t blockSectors = std::max<uint32_t>(1, m_proExt4.BlockSectors());
    const auto spanOf = [recordSectors, blockSectors](ReplayKind kind) {
      return kind == ReplayKind::kNtfsRecord ? recordSectors : kind == ReplayKind::kExt4Block ? blockSectors : 1u;
    };
    if (ReplayLog::Read(folder, saved.replayEntries, saved.replayHash, &runs) != kStatusOk ||
        !ReplayLog::RunsFit(runs, m_volumeStart, m_sectorCount, spanOf)) {
      m_keptFault = KeptStateFault::kReplay;
      return platform::kErrorInvalidData;
    }
  }
  m_state = saved;
  m_fastStatus = saved.fastStatus;
  m_extents.Assign(saved.extents);
  m_totalSectors = m_extents.TotalSectors();
  const std::string fastLog = FindStoreName(folder, store::kFastLogPrefix);
  if (m_fast && !fastLog.empty()) {
    if (Status s = m_fast->Scan(fastLog.c_str()); s != kStatusOk) return s;
  }
  if (!continuing) {
    // Everything was read (or what was found is only looked at): the stores are the result.
    const std::string fatLog = FindStoreName(folder, store::kProFatLogPrefix);
    const std::string ntfsLog = FindStoreName(folder, store::kProNtfsLogPrefix);
    const std::string exFatLog = FindStoreName(folder, exfat::kProExFatLogPrefix);
    Status s = m_proFat.BeginFatScan(fatLog.empty() ? nullptr : fatLog.c_str());
    if (s == kStatusOk) s = m_proNtfs.Begin(ntfsLog.empty() ? nullptr : ntfsLog.c_str());
    if (s == kStatusOk) s = m_proExFat.BeginExFatScan(exFatLog.empty() ? nullptr : exFatLog.c_str());
    const std::string ext4Log = FindStoreName(folder, ext4::kProExt4LogPrefix);
    if (s == kStatusOk) s = m_proExt4.BeginExt4Scan(ext4Log.empty() ? nullptr : ext4Log.c_str());
    if (s == kStatusOk) {
      s = fileTypeLog.empty()
              ? m_carver.OpenSharedSource(*m_source, m_sectorBytes, m_volumeStart, m_sectorCount, m_driveLetter)
              : m_carver.OpenSharedLog(*m_source, m_sectorBytes, m_volumeStart, m_sectorCount, m_driveLetter,
                                       fileTypeLog);
    }
    if (s == kStatusOk && !m_carver.StoredFilesFit()) {
      m_keptFault = KeptStateFault::kCarvedFiles;
      s = platform::kErrorInvalidData;
    }
    BuildDuplicateIndex();
    return s;
  }
  // Continue: the file-system engines start afresh and are handed again what
  // they were handed before; the carved files are kept as they are.
  RemoveScanFiles(folder,
                  {store::kProFatLogPrefix, store::kProNtfsLogPrefix, exfat::kProExFatLogPrefix, ext4::kProExt4LogPrefix});
  LearnLiveAllocation();
  Status status = BeginRawEngines(folder, fileTypeLog);
  if (status == kStatusOk && !m_carver.StoredFilesFit()) {
    m_keptFault = KeptStateFault::kCarvedFiles;
    return platform::kErrorInvalidData;
  }
  // The fast engine's deleted directories anchor their later clusters again, as they did before the pass.
  m_walkedFree.clear();
  if (status == kStatusOk && m_state.freeSpaceOnly && m_fast && m_fastStatus == kStatusOk &&
      m_fast->BuildAllocationMap() == kStatusOk) {
    ScanExtents free;
    if (free.CollectFree(*m_fast, m_fastSectorBytes, m_sectorBytes, m_sectorCount)) {
      m_walkedFree = FreeAndWalked(free.Extents(), m_state.metadataRuns, m_sectorBytes);
    }
    status = HandWalkedDeletedDirectories();
  }
  if (status == kStatusOk) status = Replay(runs);
  // Also after a cancelled replay: the log stays whole for the next time.
  const Status opened = m_replay.Open(folder, m_state.replayEntries, m_state.replayHash);
  if (status == kStatusOk) status = opened;
  if (status == kStatusOk) status = RunPass(folder);
  const Status finished = FinishRawEngines();
  if (status == kStatusOk) status = finished;
  // The carved files are judged before the state is kept: the kept store's hash covers their verdicts.
  BuildDuplicateIndex();
  JudgeCarvedFiles(&status);
  SaveState(folder, &status);
  return status;
}

Status CProfessionalRecovery::RunFastScan(const std::string& fastLog) {
  m_fastStatus = kStatusOk;
  if (!m_fast) return kStatusOk;
  (void)m_fast->SetProgressCallbacks(m_scanFn, nullptr, m_userData, 9);
  const Status s = m_fast->Scan(fastLog.empty() ? nullptr : fastLog.c_str());
  if (s == kStatusCancelled) return s;
  // A file system that cannot be read is why a deep scan is run: the raw
  // engines read the whole volume, and the error is kept for the user.
  m_fastStatus = s;
  return kStatusOk;
}

void CProfessionalRecovery::LearnLiveAllocation() {
  m_live.Clear();
  if (!m_fast || m_fastStatus != kStatusOk || m_fast->BuildAllocationMap() != kStatusOk) return;
  ScanExtents free;
  if (!free.CollectFree(*m_fast, m_fastSectorBytes, m_sectorBytes, m_sectorCount)) return;
  std::vector<ByteRun> runs;
  runs.reserve(free.Extents().size());
  for (const SectorExtent& e : free.Extents()) runs.push_back(ByteRun{e.start * m_sectorBytes, e.count * m_sectorBytes});
  m_live.Assign(m_volumeStart * m_sectorBytes, m_sectorCount * m_sectorBytes, std::move(runs));
}

Status CProfessionalRecovery::HandWalkedDeletedDirectories() {
  const auto pieceSectors = static_cast<uint32_t>(std::max<size_t>(1, kChunkBytes / m_sectorBytes));
  std::vector<uint8_t> piece(static_cast<size_t>(pieceSectors) * m_sectorBytes);
  m_proFat.SetListedElsewhere(true);
  Status status = kStatusOk;
  for (const SectorExtent& e : m_walkedFree) {
    for (uint64_t done = 0; done < e.count && status == kStatusOk; done += pieceSectors) {
      if (const int32_t answer = ReportRaw(m_state.sectorsDone, -1); answer != 0) {
        status = answer;
        break;
      }
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(pieceSectors, e.count - done));
      const uint64_t first = m_volumeStart + e.start + done;
      uint32_t got = 0;
      const Status read = storage::ReadSectors(count, *m_source, piece.data(), first, m_sectorBytes, &got);
      if (read == platform::kErrorDeviceRemoved) status = read;
      // Sectors that cannot be read only leave their directory's later clusters without this anchor.
      for (uint32_t i = 0; i < got && status == kStatusOk; ++i) {
        const uint8_t* sector = piece.data() + static_cast<size_t>(i) * m_sectorBytes;
        if (IsDirectoryStart(sector, m_sectorBytes)) {
          m_proFat.HandleDirectoryStart(sector, m_sectorBytes, first + i);
        } else if (IsDirectorySector(sector, m_sectorBytes)) {
          m_proFat.HandleDirectorySector(sector, m_sectorBytes, first + i);
        }
      }
    }
  }
  m_proFat.SetListedElsewhere(false);
  return status;
}

void CProfessionalRecovery::ChooseExtents() {
  m_walkedFree.clear();
  m_state.freeSpaceOnly = false;
  m_state.metadataRuns.clear();
  m_state.fastStatus = m_fastStatus;
  LearnLiveAllocation();
  if (m_fast && m_fastStatus == kStatusOk) {
    if (m_live.IsKnown() && m_extents.CollectFree(*m_fast, m_fastSectorBytes, m_sectorBytes, m_sectorCount)) {
      m_state.freeSpaceOnly = true;
      // The free space ends where the file system does; the rest of the partition or image is read too.
      const uint64_t fileSystemSectors = FileSystemSectors(*m_source, m_volumeStart, m_sectorBytes);
      if (fileSystemSectors != 0) m_extents.AddPastEnd(fileSystemSectors, m_sectorCount);
    } else {
      m_extents.SetWhole(m_sectorCount);
    }
    if (auto* walked = dynamic_cast<IMetadataRuns*>(m_fast.get())) {
      m_state.metadataRuns = walked->MetadataRuns();
      if (m_state.freeSpaceOnly) m_walkedFree = FreeAndWalked(m_extents.Extents(), m_state.metadataRuns, m_sectorBytes);
      m_extents.Subtract(m_state.metadataRuns, m_sectorBytes);
    }
  } else {
    m_extents.SetWhole(m_sectorCount);
  }
  m_state.extents = m_extents.Extents();
  m_totalSectors = m_extents.TotalSectors();
}

Status CProfessionalRecovery::BeginRawEngines(const std::string&, const std::string& fileTypeLog) {
  Status s =
      fileTypeLog.empty()
          ? m_carver.OpenSharedSource(*m_source, m_sectorBytes, m_volumeStart, m_sectorCount, m_driveLetter)
          : m_carver.OpenSharedLog(*m_source, m_sectorBytes, m_volumeStart, m_sectorCount, m_driveLetter, fileTypeLog);
  // The carver's read-ahead reports through the coordinator, which keeps the bar going one way.
  (void)m_carver.SetProgressCallbacks(m_scanFn != nullptr ? OnReadAhead : nullptr, nullptr, this, 90);
  m_carver.ClearStreamExtents();
  m_reportedDone = m_state.sectorsDone;
  if (s == kStatusOk) s = m_proFat.BeginFatScan(nullptr);
  (void)m_proFat.PrepareFatGeometry();
  if (s == kStatusOk) s = m_proNtfs.Begin(nullptr);
  if (s == kStatusOk) s = m_proExFat.BeginExFatScan(nullptr);
  (void)m_proExFat.PrepareExFatGeometry();
  if (s == kStatusOk) s = m_proExt4.BeginExt4Scan(nullptr);
  (void)m_proExt4.PrepareExt4Geometry();
  return s;
}

Status CProfessionalRecovery::Replay(const std::vector<ReplayRun>& runs) {
  const uint32_t recordBytes = m_proNtfs.RecordBytes();
  const uint32_t recordSectors = std::max<uint32_t>(1, (recordBytes + m_sectorBytes - 1) / m_sectorBytes);
  std::vector<uint8_t> bytes(static_cast<size_t>(std::max<uint32_t>({recordSectors, m_proExt4.BlockSectors(), 1})) *
                             m_sectorBytes);
  // The runs were checked to lie inside the volume (ReplayLog::RunsFit).
  uint64_t handed = 0;
  for (const ReplayRun& run : runs) {
    for (uint32_t k = 0; k < run.count; ++k) {
      if (handed++ % kReplayReportSectors == 0) {
        if (const int32_t answer = ReportRaw(m_state.sectorsDone, -1); answer != 0) return answer;
      }
      const uint64_t sector = run.sector + uint64_t{k} * run.step;
      const auto kind = static_cast<ReplayKind>(run.kind);
      const uint32_t count = kind == ReplayKind::kNtfsRecord ? recordSectors
                             : kind == ReplayKind::kExt4Block ? m_proExt4.BlockSectors()
                                                              : 1;
      uint32_t got = 0;
      const Status r = storage::ReadSectors(count, *m_source, bytes.data(), sector, m_sectorBytes, &got);
      if (r == platform::kErrorDeviceRemoved) return r;
      if (r != kStatusOk) continue;  // unreadable now: the engines go without it
      uint64_t ntfsSector = 0;
      switch (kind) {
        case ReplayKind::kNtfsRecord:
          if (NtfsSectorOf(sector, &ntfsSector)) (void)m_proNtfs.HandleRecord(bytes.data(), recordBytes, ntfsSector);
          break;
        case ReplayKind::kFatDirectoryStart: m_proFat.HandleDirectoryStart(bytes.data(), m_sectorBytes, sector); break;
        case ReplayKind::kFatDirectorySector:
          m_proFat.HandleDirectorySector(bytes.data(), m_sectorBytes, sector);
          break;
        case ReplayKind::kExFatDirectorySector:
          m_proExFat.HandleExFatDirectorySector(bytes.data(), m_sectorBytes, sector);
          break;
        case ReplayKind::kExt4Block: (void)m_proExt4.HandleExt4Block(bytes.data(), bytes.size(), sector); break;
      }
    }
  }
  return kStatusOk;
}

std::unique_ptr<CarveAhead> CProfessionalRecovery::StartCarveAhead() {
  const uint32_t threads = ScanThreadsFor(m_scanThreads);
  if (threads < 2 || m_state.extentIndex >= m_state.extents.size()) return nullptr;
  std::vector<storage::SectorSource> readers;
  for (uint32_t i = 1; i < threads; ++i) {
    storage::SectorSource reader;
    // A device that gives no second reader is read by the pass alone.
    if (storage::OpenAnotherSource(*m_source, &reader) != kStatusOk) break;
    readers.push_back(std::move(reader));
  }
  if (readers.empty()) return nullptr;
  std::vector<AheadRun> runs;
  runs.reserve(m_state.extents.size() - m_state.extentIndex);
  for (size_t i = m_state.extentIndex; i < m_state.extents.size(); ++i) {
    const SectorExtent& e = m_state.extents[i];
    const uint64_t first = m_volumeStart + e.start;
    runs.push_back(AheadRun{first, e.count, m_state.freeSpaceOnly ? first + e.count : 0});
  }
  const SectorExtent& at = m_state.extents[m_state.extentIndex];
  const uint64_t from = std::max(m_volumeStart + at.start + m_state.extentDone, m_state.skipUntil);
  return std::make_unique<CarveAhead>(std::move(readers), m_sectorBytes, m_volumeStart + m_sectorCount,
                                      std::move(runs), from);
}

Status CProfessionalRecovery::RunPass(const std::string&) {
  std::unique_ptr<CarveAhead> ahead = StartCarveAhead();
  m_carver.SetMeasuredAhead(ahead.get());
  const Status status = RunPassOver(ahead.get());
  m_carver.SetMeasuredAhead(nullptr);
  m_aheadTaken = ahead ? ahead->Taken() : 0;
  m_aheadMissed = ahead ? ahead->Missed() : 0;
  return status;
}

Status CProfessionalRecovery::RunPassOver(CarveAhead* ahead) {
  Pass pass(*this);
  const std::vector<SectorExtent>& extents = m_state.extents;
  Status status = kStatusOk;
  for (; m_state.extentIndex < extents.size(); ++m_state.extentIndex, m_state.extentDone = 0) {
    const SectorExtent& extent = extents[m_state.extentIndex];
    const uint64_t first = m_volumeStart + extent.start;
    // Carved text stops at the end of the run being read (the whole volume when everything is read).
    m_carver.SetRunEnd(m_state.freeSpaceOnly ? first + extent.count : 0);
    // A carved file that ran on into this extent is not read again.
    if (m_state.skipUntil > first + m_state.extentDone) {
      const uint64_t skipTo = std::min(extent.count, m_state.skipUntil - first);
      m_state.sectorsDone += skipTo - m_state.extentDone;
      m_state.extentDone = skipTo;
    }
    while (m_state.extentDone < extent.count) {
      // Chunks keep to one grid from the extent's start, also after a carved
      // file ended inside one: each then lies in one piece read ahead.
      const uint64_t toGrid = pass.chunkSectors - m_state.extentDone % pass.chunkSectors;
      const auto count = static_cast<uint32_t>(std::min(toGrid, extent.count - m_state.extentDone));
      const uint64_t at = first + m_state.extentDone;
      if (ahead != nullptr) ahead->MoveTo(at);
      if (Status s = pass.ReadChunk(at, count, ahead); s != kStatusOk) return s;  // the device is gone
      uint64_t advance = 0;
      status = pass.Classify(at, count, &advance);
      const uint64_t left = extent.count - m_state.extentDone;
      const auto passed = static_cast<size_t>(std::min<uint64_t>(advance, count));
      m_state.unreadableSectors += static_cast<uint64_t>(
          std::count(pass.bad.begin(), pass.bad.begin() + static_cast<std::ptrdiff_t>(passed), 1));
      m_state.sectorsDone += std::min(advance, left);
      if (advance > left) m_state.skipUntil = first + m_state.extentDone + advance;
      m_state.extentDone += std::min(advance, left);
      if (status != kStatusOk) return status;  // cancelled during a carve, at the exact sector
      if (const int32_t answer = pass.Report(); answer != 0) return answer;
    }
  }
  return kStatusOk;
}

Status CProfessionalRecovery::FinishRawEngines() {
  // After a cancel the callback would stop the finish too: what was found
  // is filed without reports.
  (void)m_proFat.SetProgressCallbacks(nullptr, nullptr, nullptr, 90);
  (void)m_proNtfs.SetProgressCallbacks(nullptr, nullptr, nullptr, 90);
  (void)m_proExFat.SetProgressCallbacks(nullptr, nullptr, nullptr, 90);
  (void)m_proExt4.SetProgressCallbacks(nullptr, nullptr, nullptr, 90);
  // What the live file system holds now is no old file's own data any more.
  const LiveAllocation* live = m_live.IsKnown() ? &m_live : nullptr;
  m_proFat.SetLiveAllocation(live);
  m_proNtfs.SetLiveAllocation(live);
  m_proExFat.SetLiveAllocation(live);
  m_proExt4.SetLiveAllocation(live);
  Status status = m_proFat.FinishFatScan();
  const Status ntfs = m_proNtfs.Finish();
  if (status == kStatusOk) status = ntfs;
  const Status exFat = m_proExFat.FinishExFatScan();
  const Status ext = m_proExt4.FinishExt4Scan();
  if (status == kStatusOk) status = ext;
  if (status == kStatusOk) status = exFat;
  (void)m_proFat.SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, 90);
  (void)m_proNtfs.SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, 90);
  (void)m_proExFat.SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, 90);
  (void)m_proExt4.SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, 90);
  (void)m_carver.SetProgressCallbacks(m_scanFn, m_copyFn, m_userData, 90);
  if (store::ScanStore* st = m_carver.ResultStore()) {
    if (Status s = st->FlushStore(); s != kStatusOk && status == kStatusOk) status = s;
  }
  if (status == kStatusOk && m_carverFull) status = kStatusOutOfMemory;
  return status;
}

void CProfessionalRecovery::SaveState(const std::string& folder, Status* status) {
  m_state.finished = *status == kStatusOk && m_state.extentIndex >= m_state.extents.size();
  if (m_state.finished && m_scanFn != nullptr) {
    const int32_t answer = m_scanFn(m_userData, 100, 100, 0, 0, 0, 0, 0);
    if (answer != 0) *status = answer;
  }
  const Status flushed = m_replay.Close();
  m_state.replayEntries = m_replay.Entries();
  m_state.replayHash = m_replay.Hash();
  if (flushed != kStatusOk) {  // a log that may be cut short is never replayed
    m_state.replayEntries = 0;
    m_state.replayHash = 0;
  }
  Status saved = HashStoreFiles(folder, m_carver.StoreBaseName(), &m_state.carvedStoreHash);
  if (saved == kStatusOk) saved = WriteDeepScanState(folder, m_state);
  if (*status == kStatusOk && saved != kStatusOk) *status = saved;
}

void CProfessionalRecovery::JudgeCarvedFiles(Status* status) {
  // Carved files shown through a file system's engine are that engine's to judge.
  const Status s = m_carver.JudgeCarvedFiles(m_live.IsKnown() ? &m_live : nullptr, [&](int32_t id) {
    return m_duplicates.IsHidden(static_cast<int32_t>(SourceKind::kSignature), id);
  });
  if (*status == kStatusOk && s != kStatusOk) *status = s;
  if (const Status text = JudgeCarvedText(); *status == kStatusOk && text != kStatusOk) *status = text;
}

void CProfessionalRecovery::BuildDuplicateIndex() {
  m_duplicates.Clear();
  // Only files that another engine may also have found: with one engine
  // holding files there is nothing to match.
  int engines = 0;
  for (IFileRecoveryParse* engine : Engines()) {
    if (engine != nullptr && engine->GetItemCount() != 0) ++engines;
  }
  if (engines < 2) return;
  auto add = [&](store::ScanStore* st, int32_t kind) {
    if (st == nullptr || !st->IsOpen()) return;
    const uint32_t unit = SectorBytesOf(kind);
    (void)st->VisitRecords([&](const ItemRecord& item) {
      uint64_t first = 0;
      if (item.sourceKind == kind && FirstDataByteOf(item, unit, &first)) m_duplicates.Add(item, first);
      return true;
    });
  };
  if (auto* fat = dynamic_cast<fat::CFastFatRecovery*>(m_fast.get())) {
    add(fat->ResultStore(), static_cast<int32_t>(SourceKind::kFastFat));
  }
  if (auto* ntfs = dynamic_cast<ntfs::CFastNtfsRecovery*>(m_fast.get())) {
    add(ntfs->ResultStore(), static_cast<int32_t>(SourceKind::kFastNtfs));
  }
  if (auto* exFat = dynamic_cast<exfat::CFastExFatRecovery*>(m_fast.get())) {
    add(exFat->ResultStore(), static_cast<int32_t>(SourceKind::kFastExFat));
  }
  add(m_proFat.ResultStore(), static_cast<int32_t>(SourceKind::kProfessionalFat));
  add(m_proNtfs.ResultStore(), static_cast<int32_t>(SourceKind::kProfessionalNtfs));
  add(m_proExFat.ResultStore(), static_cast<int32_t>(SourceKind::kProfessionalExFat));
  add(m_proExt4.ResultStore(), static_cast<int32_t>(SourceKind::kProfessionalExt4));
  if (auto* ext = dynamic_cast<ext4::CFastExt4Recovery*>(m_fast.get())) {
    add(ext->ResultStore(), static_cast<int32_t>(SourceKind::kFastExt4));
  }
  add(m_carver.ResultStore(), static_cast<int32_t>(SourceKind::kSignature));
  m_duplicates.Settle();
}

}  // namespace engine::deep
