// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ntfs/mft_contexts.h"

namespace engine::ntfs {

void MftContexts::Reset(uint64_t openedVolumeStart, uint32_t sectorsPerRecord, uint32_t estimate) {
  m_openedVolumeStart = openedVolumeStart;
  m_sectorsPerRecord = sectorsPerRecord == 0 ? 1 : sectorsPerRecord;
  m_estimate = estimate == 0 ? 8 : estimate;
  m_contexts.clear();
  m_known.clear();
  m_byKey.clear();
}

uint32_t MftContexts::Add(MftContext context) {
  if (auto it = m_byKey.find(context.key); it != m_byKey.end()) {
    if (context.known && !m_contexts[it->second].known) {
      m_contexts[it->second] = std::move(context);  // a contiguous guess replaced by the real MFT
      m_known.push_back(it->second);
    }
    return it->second;
  }
  if (m_contexts.size() >= kMaxContexts) return static_cast<uint32_t>(m_contexts.size() - 1);
  const auto index = static_cast<uint32_t>(m_contexts.size());
  m_byKey.emplace(context.key, index);
  if (context.known) m_known.push_back(index);
  m_contexts.push_back(std::move(context));
  return index;
}

void MftContexts::AddKnown(uint64_t sector, std::vector<MftRun> runs, uint32_t sectorsPerCluster) {
  if (runs.empty() || sectorsPerCluster == 0) return;
  const std::vector<PlacedRun> placed = PlaceRuns(runs);
  if (!placed.front().isValid || placed.front().isSparse) return;
  const uint64_t firstSectorOffset = placed.front().startCluster * sectorsPerCluster;
  if (firstSectorOffset > sector) return;  // its volume would start before the source
  MftContext context;
  context.key = sector;
  context.volumeStartSector = sector - firstSectorOffset;
  context.sectorsPerCluster = sectorsPerCluster;
  context.runs = std::move(runs);
  context.known = true;
  (void)Add(std::move(context));  // the index is found again by Locate
}

bool MftContexts::SectorOf(uint32_t index, uint64_t number, uint64_t* sector) const {
  if (index >= m_contexts.size() || number > (UINT64_MAX / 16) / m_sectorsPerRecord) return false;
  const MftContext& c = m_contexts[index];
  const uint64_t v = number * m_sectorsPerRecord;
  if (c.runs.empty()) {
    *sector = c.key + v;
    return true;
  }
  uint64_t before = 0;
  for (const PlacedRun& run : PlaceRuns(c.runs)) {
    const uint64_t runSectors = run.clusterCount * c.sectorsPerCluster;
    if (v >= before && v - before < runSectors) {
      if (run.isSparse || !run.isValid) return false;
      *sector = c.volumeStartSector + run.startCluster * c.sectorsPerCluster + (v - before);
      return true;
    }
    before += runSectors;
  }
  return false;
}

uint32_t MftContexts::Locate(uint64_t number, uint64_t sector) {
  for (uint32_t index : m_known) {
    uint64_t predicted = 0;
    if (SectorOf(index, number, &predicted) && predicted == sector) return index;
  }
  const uint64_t v = number * m_sectorsPerRecord;
  MftContext context;
  context.key = sector >= v ? sector - v : 0;
  context.volumeStartSector = m_openedVolumeStart;
  context.sectorsPerCluster = m_estimate;
  return Add(std::move(context));
}

}  // namespace engine::ntfs
