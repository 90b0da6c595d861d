// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "engine/ntfs/run_list.h"

namespace engine::ntfs {

// One MFT a raw scan met: where its records lie and what volume they imply.
struct MftContext {
  uint64_t key = 0;                // sector of its record 0 ("$MFT"), or its implied start when assumed contiguous
  uint64_t volumeStartSector = 0;  // the volume start its runs are relative to
  uint32_t sectorsPerCluster = 0;  // its cluster size in sectors
  std::vector<MftRun> runs;        // empty: contiguous from key
  bool known = false;              // its "$MFT" record was found
};

// The MFTs of a volume as a raw scan learns them: the opened volume's own
// MFT, every record 0 named "$MFT" found anywhere (an older file system
// formatted over keeps its own), and, for a record whose MFT is not known,
// the MFT it implies when the MFT is taken as contiguous (its start is the
// record's sector less its number's records; kept in sectors, so a volume
// that does not start on a cluster boundary keeps its parents). Contexts
// are numbered in the order they are first met; index 0 is the first.
// At most kMaxContexts: records of further MFTs share the last one.
// One thread at a time.
class MftContexts {
 public:
  static constexpr uint32_t kMaxContexts = 1024;

  // sectorsPerRecord: sectors of one file record; estimate: sectors per
  // cluster taken for MFTs whose own size is not known.
  void Reset(uint64_t openedVolumeStart, uint32_t sectorsPerRecord, uint32_t estimate);
  void SetEstimate(uint32_t estimate) { m_estimate = estimate == 0 ? m_estimate : estimate; }
  uint32_t Estimate() const { return m_estimate; }

  // A record 0 named "$MFT" found at sector (absolute), with the runs of its
  // $DATA and its cluster size. Records located later map through it.
  void AddKnown(uint64_t sector, std::vector<MftRun> runs, uint32_t sectorsPerCluster);

  // The context of record `number` found at absolute `sector`: a known MFT
  // whose runs put that record there, else the contiguous MFT it implies.
  uint32_t Locate(uint64_t number, uint64_t sector);

  // Absolute sector of record `number` in context index; false when its
  // runs do not map it.
  bool SectorOf(uint32_t index, uint64_t number, uint64_t* sector) const;

  const MftContext& At(uint32_t index) const { return m_contexts[index]; }
  size_t Size() const { return m_contexts.size(); }

 private:
  uint32_t Add(MftContext context);

  uint64_t m_openedVolumeStart = 0;
  uint32_t m_sectorsPerRecord = 2;
  uint32_t m_estimate = 8;
  std::vector<MftContext> m_contexts;
  std::vector<uint32_t> m_known;                   // indexes of the known MFTs
  std::unordered_map<uint64_t, uint32_t> m_byKey;  // key → index
};

}  // namespace engine::ntfs
