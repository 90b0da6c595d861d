// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/byte_view.h"

namespace engine::exfat {

// What one directory cluster of a lost volume says about the clusters that
// may come before and after it in its directory. Plain value.
struct DirectoryClusterSummary {
  // Secondary entries before its first file entry: the end of a set that
  // began in the directory's cluster before.
  uint32_t leadEntries = 0;
  // Entries of its last set that lie past its end (0: it ends on a set boundary).
  uint32_t missingEntries = 0;
  // It holds an end-of-directory entry: the directory ends in it.
  bool endsDirectory = false;
  std::vector<uint8_t> head;  // its first bytes (a set's worth at most) when leadEntries > 0
  std::vector<uint8_t> tail;  // the bytes of its last set from its file entry on, when missingEntries > 0
  // Names and modified times (FILETIME) of its first and last whole sets;
  // wholeSets counts them.
  uint32_t wholeSets = 0;
  std::string firstName;
  std::string lastName;
  uint64_t firstTime = 0;
  uint64_t lastTime = 0;
  // The highest cluster of data its whole sets name (their first clusters,
  // and the whole run of a contiguous file); 0 when they name none.
  uint32_t dataEnd = 0;
};

// Reads one directory cluster (bytes: the whole cluster). clusterBytes and
// maxCluster bound the data the sets name: a set naming clusters past
// maxCluster says nothing about where its directory grew. Reads only bytes.
DirectoryClusterSummary SummarizeDirectoryCluster(ByteView bytes, uint64_t clusterBytes, uint32_t maxCluster);

inline constexpr int32_t kNoContinuation = std::numeric_limits<int32_t>::min();

// How well cluster `head` continues a directory whose last cluster so far is
// `tail`, from what a camera or phone leaves: a set cut by the tail's end
// and completed by the head's first entries (with a matching set checksum:
// decisive; cut but not completed: impossible), the head lying just past
// the data of the files the tail lists (a directory grows into the next
// free cluster after the data written so far), names that go on in the
// same pattern and times that go on. kNoContinuation when the two cannot
// follow one another (the tail ends its directory, or the cut sets do not
// match). Pure.
int32_t ScoreContinuation(uint32_t tail, const DirectoryClusterSummary& t, uint32_t head,
                          const DirectoryClusterSummary& h);

// A run of directory clusters known to follow one another: a folder's
// first clusters (headed: it continues nothing), or clusters no folder
// names yet. capacity: clusters the folder's entry says its directory
// holds (0: unknown); closed: nothing may follow it (a contiguous folder);
// held: the live file system holds its first cluster now, so no old
// directory continues into it.
struct DirectoryChain {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t clusters = 1;
  uint32_t capacity = 0;
  bool headed = false;
  bool closed = false;
  bool held = false;
  // Set when the chain was joined to another: that chain's index.
  size_t joinedTo = SIZE_MAX;
};

// One decided continuation: cluster `to` follows cluster `from` in its directory.
struct DirectoryLink {
  uint32_t from = 0;
  uint32_t to = 0;
  int32_t score = 0;
};

// A continuation is taken only with at least this score, and by this margin
// over the next best for both the tail and the head.
inline constexpr int32_t kMinContinuationScore = 40;
inline constexpr int32_t kContinuationMargin = 15;
// Heads weighed per tail: the first ones past the data the tail lists.
inline constexpr size_t kContinuationWindow = 16;

// Joins chains where a continuation is convincing: a chain's last cluster
// to the first cluster of an unheaded, unheld chain that lies after it,
// within a folder's capacity. Rounds of mutual best choices, each by the
// margin; a cluster without a convincing owner stays the head of its own
// chain. A chain joined to another is left with clusters = 0 and
// joinedTo set; the survivors' last and clusters are updated. summaries holds every chain's
// clusters (a cluster missing from it is never linked). Work: rounds x
// chains x kContinuationWindow scores; a round that joins nothing ends it.
std::vector<DirectoryLink> LinkDirectoryChains(std::vector<DirectoryChain>& chains,
                                               const std::unordered_map<uint32_t, DirectoryClusterSummary>& summaries);

}  // namespace engine::exfat
