// SPDX-License-Identifier: GPL-3.0-or-later
// The finish of CProfessionalNtfsRecovery: every record's MFT, the folders
// never handed over, the content checks, and the folder tree.
#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/ntfs/found_record.h"
#include "engine/ntfs/mft_record.h"
#include "engine/ntfs/professional_ntfs_recovery.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/signatures/signature_check.h"
#include "engine/volume_sectors.h"
#include "engine/store/scan_store.h"

namespace engine::ntfs {
namespace {

// Rounds of reading folders that were never handed over: one per level.
constexpr int kMaxFolderRounds = 64;
// First data sectors no further apart than this are read with one request,
// up to kCoalesceBytes.
constexpr uint64_t kJoinGapBytes = 16384;
constexpr uint64_t kCoalesceBytes = 65536;

uint64_t Key(uint32_t context, uint32_t number) {
  return (uint64_t{context} << 32) | number;
}

}  // namespace

Status CProfessionalNtfsRecovery::Finish() {
  store::ScanStore* st = m_browser.Store();
  if (st == nullptr || !st->IsOpen()) return kStatusInvalidParameter;
  // Every record's MFT, now that every "$MFT" record of the volume is known.
  for (Directory& d : m_directories) d.context = m_contexts.Locate(d.number, d.sector);
  for (PendingFile& f : m_files) f.context = m_contexts.Locate(f.number, f.sector);
  Status firstError = kStatusOk;
  ReadMissingFolders(&firstError);
  CheckContents(&firstError);
  FileEverything();
  m_directories.clear();
  m_files.clear();
  const Status flushed = st->FlushStore();
  if (m_storeFull) return kStatusOutOfMemory;
  return firstError != kStatusOk ? firstError : flushed;
}

void CProfessionalNtfsRecovery::ReadMissingFolders(Status* firstError) {
  std::unordered_set<uint64_t> known;
  for (const Directory& d : m_directories) known.insert(Key(d.context, d.number));
  std::unordered_set<uint64_t> tried;
  std::vector<uint8_t> record;
  for (int round = 0; round < kMaxFolderRounds; ++round) {
    // The parents named by files and folders that no directory handed over answers.
    std::map<uint64_t, std::pair<uint32_t, uint32_t>> wanted;  // sector → (context, number)
    auto want = [&](uint32_t context, uint32_t parent) {
      if (parent == FolderPlacement::kRootRecord || parent <= kLastSystemRecord) return;
      const uint64_t key = Key(context, parent);
      if (known.count(key) != 0 || !tried.insert(key).second) return;
      uint64_t sector = 0;
      if (m_contexts.SectorOf(context, parent, &sector) &&
          sector + m_recordBytes / m_bytesPerSector <= m_geometry.volumeStartSector + m_geometry.sectorCount) {
        wanted.emplace(sector, std::make_pair(context, parent));
      }
    };
    for (const PendingFile& f : m_files) want(f.context, f.parent);
    const size_t before = m_directories.size();
    for (size_t i = 0; i < before; ++i) want(m_directories[i].context, m_directories[i].parent);
    if (wanted.empty()) return;
    for (const auto& [sector, who] : wanted) {  // in sector order: the reads move one way
      const Status s = ReadRecordAt(sector, who.second, record);
      if (s > 0 && *firstError == kStatusOk) *firstError = s;
      if (s != kStatusOk) continue;
      FoundRecord found;
      if (!ParseFoundRecord(ByteView(record.data(), record.size()), &found) || !found.IsDirectory() || !found.named ||
          !found.baseRecord) {
        continue;  // no folder there any more: its children go to a lost folder
      }
      Directory d;
      d.sector = sector;
      d.number = who.second;
      d.sequence = found.sequence;
      d.inUse = found.InUse();
      d.parent = found.parent;
      d.parentSequence = found.parentSequence;
      d.context = who.first;
      d.name = std::move(found.name);
      d.created = found.created;
      d.modified = found.modified;
      d.accessed = found.accessed;
      known.insert(Key(d.context, d.number));
      m_directories.push_back(std::move(d));
    }
    if (m_directories.size() == before) return;
  }
}

void CProfessionalNtfsRecovery::CheckContents(Status* firstError) {
  store::ScanStore& st = *m_browser.Store();
  const uint64_t volumeEnd = m_geometry.volumeStartSector + m_geometry.sectorCount;
  struct Check {
    size_t file;
    uint64_t sector;
  };
  std::vector<Check> checks;
  std::vector<int32_t> intact(m_files.size(), -1);  // -1: nothing to check
  for (size_t i = 0; i < m_files.size(); ++i) {
    const PendingFile& f = m_files[i];
    if (f.firstCluster < 0 || f.extension[0] == '\0') continue;
    const MftContext& c = m_contexts.At(f.context);
    const uint64_t spc = f.recordSectorsPerCluster != 0 ? f.recordSectorsPerCluster : c.sectorsPerCluster;
    const uint64_t sector = c.volumeStartSector + static_cast<uint64_t>(f.firstCluster) * spc;
    if (sector < m_geometry.volumeStartSector || sector >= volumeEnd) {
      intact[i] = 0;  // its data would lie outside the volume
      continue;
    }
    checks.push_back({i, sector});
  }
  std::sort(checks.begin(), checks.end(), [](const Check& a, const Check& b) { return a.sector < b.sector; });
  const uint64_t spanSectors = std::max<uint64_t>(1, kCoalesceBytes / m_bytesPerSector);
  const uint64_t gapSectors = kJoinGapBytes / m_bytesPerSector;
  std::vector<uint8_t> span(static_cast<size_t>(spanSectors * m_bytesPerSector));
  for (size_t k = 0; k < checks.size();) {
    const uint64_t from = checks[k].sector;
    size_t end = k + 1;
    while (end < checks.size() && checks[end].sector < from + spanSectors &&
           checks[end].sector <= checks[end - 1].sector + gapSectors) {
      ++end;
    }
    const uint64_t count = std::min(checks[end - 1].sector - from + 1, volumeEnd - from);
    uint32_t got = 0;
    const Status r =
        storage::ReadSectors(static_cast<uint32_t>(count), m_source, span.data(), from, m_bytesPerSector, &got);
    if (r > 0 && *firstError == kStatusOk) *firstError = r;
    for (size_t j = k; j < end; ++j) {
      const uint64_t index = checks[j].sector - from;
      if (r != kStatusOk && index >= got) continue;  // unreadable: not proven damaged
      const PendingFile& f = m_files[checks[j].file];
      intact[checks[j].file] =
          signatures::MatchesExtension(span.data() + index * m_bytesPerSector, m_bytesPerSector, f.extension);
    }
    k = end;
  }
  // The whole data of the files whose first sector holds: the live file
  // system's clusters, then the file's own structure; in the order of their
  // data, so the reads move one way.
  std::vector<size_t> judged;
  for (size_t i = 0; i < m_files.size(); ++i) {
    if (intact[i] != 0 && !m_files[i].runs.empty()) judged.push_back(i);
  }
  std::vector<ItemState> states(m_files.size(), ItemState::kIntact);
  std::vector<std::vector<ByteRun>> dataRuns(m_files.size());
  for (size_t i : judged) states[i] = DataRunsOf(m_files[i], &dataRuns[i]);
  std::sort(judged.begin(), judged.end(), [&](size_t a, size_t b) {
    const uint64_t x = dataRuns[a].empty() ? 0 : dataRuns[a].front().offset;
    const uint64_t y = dataRuns[b].empty() ? 0 : dataRuns[b].front().offset;
    return x < y;
  });
  const signatures::ByteReader read = [this](uint64_t at, void* out, size_t n) {
    return ReadSourceBytes(m_source, m_bytesPerSector, at, out, n);
  };
  // Where every judged file's data begins: another file's inside a file casts doubt on it.
  std::vector<uint64_t> starts;
  for (size_t i : judged) {
    if (!dataRuns[i].empty()) starts.push_back(dataRuns[i].front().offset);
  }
  std::sort(starts.begin(), starts.end());
  for (size_t i : judged) {
    if (states[i] != ItemState::kIntact || dataRuns[i].empty()) continue;
    if (m_live != nullptr && m_live->HoldsAny(dataRuns[i])) {
      states[i] = ItemState::kOverwritten;
      continue;
    }
    const PendingFile& f = m_files[i];
    bool doubt = false;
    for (const ByteRun& run : dataRuns[i]) {
      const auto from = std::lower_bound(starts.begin(), starts.end(), run.offset);
      const auto to = std::lower_bound(starts.begin(), starts.end(), run.offset + run.length);
      doubt = doubt || to - from > (run.offset == dataRuns[i].front().offset ? 1 : 0);
    }
    const auto verdict =
        signatures::CheckLaidOutStructure(read, dataRuns[i], f.size, m_bytesPerSector, f.extension, nullptr, nullptr,
                                          doubt ? signatures::CheckDepth::kFull : signatures::CheckDepth::kQuick);
    if (verdict == signatures::StructureVerdict::kBroken) states[i] = ItemState::kDamaged;
  }
  for (size_t i = 0; i < m_files.size(); ++i) {
    if (intact[i] == 0) states[i] = ItemState::kDamaged;
  }
  // Records whose MFT, cluster size or content says more than they were stored with.
  for (size_t i = 0; i < m_files.size(); ++i) {
    const PendingFile& f = m_files[i];
    const MftContext& c = m_contexts.At(f.context);
    const uint32_t spc = f.recordSectorsPerCluster != 0 ? f.recordSectorsPerCluster : c.sectorsPerCluster;
    const bool moved = c.volumeStartSector != m_geometry.volumeStartSector || spc != f.storedSectorsPerCluster;
    if (!moved && states[i] == ItemState::kIntact) continue;
    ItemRecord record;
    if (st.ReadRecord(f.id, &record) != kStatusOk) continue;
    record.volumeStartSector = c.volumeStartSector;
    record.clusterBytes = static_cast<int32_t>(spc * m_bytesPerSector);
    if (f.firstCluster > 0) record.dataStartSector = static_cast<uint64_t>(f.firstCluster) * spc;
    SetState(record, WorseState(StateOf(record), states[i]));
    if (Status s = st.UpdateRecord(record); s != kStatusOk && *firstError == kStatusOk) *firstError = s;
  }
}

ItemState CProfessionalNtfsRecovery::DataRunsOf(const PendingFile& f, std::vector<ByteRun>* out) const {
  out->clear();
  const MftContext& c = m_contexts.At(f.context);
  const uint64_t spc = f.recordSectorsPerCluster != 0 ? f.recordSectorsPerCluster : c.sectorsPerCluster;
  const uint64_t clusterBytes = spc * m_bytesPerSector;
  const uint64_t volumeStart = m_geometry.volumeStartSector * m_bytesPerSector;
  const uint64_t volumeEnd = volumeStart + m_geometry.sectorCount * m_bytesPerSector;
  const uint64_t base = c.volumeStartSector * m_bytesPerSector;
  uint64_t need = f.size;
  for (const PlacedRun& run : f.runs) {
    if (need == 0) break;
    uint64_t offset = 0;
    uint64_t length = 0;
    if (!run.isValid || __builtin_mul_overflow(run.startCluster, clusterBytes, &offset) ||
        __builtin_add_overflow(offset, base, &offset) ||
        __builtin_mul_overflow(run.clusterCount, clusterBytes, &length)) {
      out->clear();
      return ItemState::kDamaged;
    }
    const uint64_t take = std::min(length, (need + clusterBytes - 1) / clusterBytes * clusterBytes);
    need -= std::min(need, take);
    if (run.isSparse) {
      out->clear();  // zeros in the middle: no structure check, nothing of the medium there
      return ItemState::kIntact;
    }
    if (offset < volumeStart || offset > volumeEnd || take > volumeEnd - offset) {
      out->clear();
      return ItemState::kDamaged;  // its data would lie outside the volume
    }
    out->push_back(ByteRun{offset, take});
  }
  // An attribute list holds the rest: the runs seen are judged for the live
  // file system only, never for a structure they do not hold whole.
  if (need != 0 && m_live != nullptr && m_live->HoldsAny(*out)) return ItemState::kOverwritten;
  if (need != 0) out->clear();
  return ItemState::kIntact;
}

void CProfessionalNtfsRecovery::FileEverything() {
  store::ScanStore& st = *m_browser.Store();
  // One folder tree per MFT: record numbers of different file systems do not mix.
  std::vector<FolderPlacement> placements(m_contexts.Size());
  std::unordered_map<uint64_t, size_t> directoryAt;
  for (size_t i = 0; i < m_directories.size(); ++i) {
    const Directory& d = m_directories[i];
    placements[d.context].AddDirectory(d.number, d.sequence, d.inUse, d.parent, d.parentSequence);
    directoryAt[Key(d.context, d.number)] = i;
  }
  for (const PendingFile& f : m_files) {
    const FolderPlacement::Key key = placements[f.context].PlaceChild(f.parent, f.parentSequence);
    st.AddChild(LocatorOf(f.context, key.locator), key.depth, f.id, 0, nullptr);
  }
  for (uint32_t context = 0; context < placements.size(); ++context) {
    const MftContext& c = m_contexts.At(context);
    for (const FolderPlacement::NeededFolder& folder : placements[context].Needed()) {
      ItemRecord item = ZeroRecord();
      item.driveLetter = m_driveLetter;
      item.sourceKind = static_cast<int32_t>(SourceKind::kProfessionalNtfs);
      item.isFolder = 1;
      item.locator = static_cast<int32_t>(LocatorOf(context, folder.locator));
      item.clusterBytes = static_cast<int32_t>(c.sectorsPerCluster * m_bytesPerSector);
      auto it = folder.placeholder ? directoryAt.end() : directoryAt.find(Key(context, folder.locator));
      if (it != directoryAt.end()) {
        const Directory& d = m_directories[it->second];
        item.created = d.created;
        item.modified = d.modified;
        item.accessed = d.accessed;
        item.entrySector = d.sector;
        item.volumeStartSector = c.volumeStartSector;
        SetItemName(item, d.name);
      } else {
        // A folder no record names any more: a placeholder keeps its children reachable.
        item.isIntact = 1;
        SetItemName(item, "LostFolder" + std::to_string(folder.locator & ~FolderPlacement::kLostIncarnation));
      }
      ItemRecord* slot = st.AppendRecord();
      if (slot == nullptr) {
        m_storeFull = true;
        return;
      }
      item.id = st.RecordCount();
      std::memcpy(static_cast<void*>(slot), &item, sizeof item);
      st.AddChild(LocatorOf(context, folder.parent.locator), folder.parent.depth, item.id, item.locator, item.name);
    }
  }
}

}  // namespace engine::ntfs
