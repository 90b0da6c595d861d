// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace engine::exfat {

// Where the cluster heap of a lost exFAT volume lies, in bytes from the
// volume start: cluster c (from 2 on) begins at heapByte + (c - 2) x
// clusterBytes. Plain value.
struct DeepGeometry {
  uint64_t heapByte = 0;
  uint64_t clusterBytes = 0;
  uint32_t rootCluster = 0;  // from a boot region; 0 when unknown
  bool fromBoot = false;
  // How well it fits: folders whose first cluster lies in a directory seen,
  // folders whose first cluster begins a run of directory sectors, and what
  // the medium says where it puts them (see ChooseDeepGeometry).
  uint32_t folderVotes = 0;
  uint32_t startVotes = 0;
  uint32_t contentVotes = 0;

  // The cluster that holds byte b; 0 for a byte before the heap.
  uint32_t ClusterOf(uint64_t byte) const;
  uint64_t ClusterByte(uint32_t cluster) const { return heapByte + uint64_t{cluster - 2} * clusterBytes; }
  uint32_t Score() const { return 2 * folderVotes + contentVotes; }
};

// What the directories the scan saw say about the geometry: the first
// clusters folder entries name, and the runs of directory sectors (byte
// ranges from the volume start, the root's left out: no folder names it).
struct GeometryEvidence {
  std::vector<uint32_t> folderClusters;
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // [start, end), sorted by start
};

// The geometries worth weighing: the boot region's (boot, when given), and
// those derived from folders placed at the starts of runs, for clusters of
// unitBytes (the smallest sector) to 32 MiB and a heap that begins on a
// unitBytes boundary inside the volume, where at least two folders agree.
// Each comes with its folder and start votes. Work is bounded: at most
// kSampledFolders folders and kSampledRuns runs propose geometries, and the
// kFinalists proposed most often are counted against all of the evidence.
// The boot region's comes first. Pure.
std::vector<DeepGeometry> ProposeDeepGeometries(const GeometryEvidence& evidence,
                                                const std::optional<DeepGeometry>& boot, uint32_t unitBytes,
                                                uint64_t volumeBytes);

// The best of the proposals, after contentVotes (may be empty) has given
// each what the medium says about it (the caller reads: sampled files that
// begin as their extension says there, sampled folders whose first sector
// is empty there, as an empty directory's is): the highest score (a folder
// in a directory seen counts twice); a tie goes to more start votes, then
// to the boot region's. A derived geometry needs two folder votes; the boot
// region's stands also alone. Empty when none is left.
std::optional<DeepGeometry> ChooseDeepGeometry(std::vector<DeepGeometry> proposals,
                                               const std::function<uint32_t(const DeepGeometry&)>& contentVotes);

inline constexpr size_t kSampledFolders = 64;
inline constexpr size_t kSampledRuns = 4096;
inline constexpr size_t kFinalists = 8;

}  // namespace engine::exfat
