// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/cluster/cluster_layout.h"
#include "engine/cluster/fragment_bounds.h"
#include "engine/status.h"

namespace engine::cluster {

// Whether a cluster may hold a piece of the file searched for (free now and
// claimed by no file whose layout holds); a read error is returned.
using UsableCluster = std::function<Status(uint64_t cluster, bool* usable)>;

// Whether a search can prove what it finds: the kind's check decodes every
// byte (JPEG, PNG, ZIP and the office formats built on it).
bool CanReassemble(std::string_view extension);

// Puts together a deleted file written in pieces, with other data between
// them, from the clusters a usable-cluster test allows.
//
// 1. Two pieces: the file's last cluster ends as its kind ends (a JPEG's
//    end-of-image marker, PNG's IEND chunk, a ZIP's end of central
//    directory) at the offset its size puts the end at. For each such
//    cluster and each length of the first piece (from its start over
//    adjacent usable clusters), the second piece is the usable clusters
//    that end there.
// 2. More pieces (JPEG and PNG, whose decoders tell how far the data held):
//    the layout is cut near where its decode broke, and the next piece is
//    the nearest usable cluster from which the decode goes on past that
//    point, piece by piece.
// A layout is taken only when it is the only one found to hold where it
// was looked for (two that hold prove neither).
// A layout is found only when the full decode of the whole file passes.
// Framing checks sort candidates out before a decode. Bounded by the
// bounds; reads only through the map. One thread at a time.
class FragmentSearch {
 public:
  FragmentSearch(IClusterMap& map, FragmentBounds bounds) : m_map(map), m_bounds(std::move(bounds)) {}

  // clusters: the file's clusters in file order when *found. A read error of
  // the usable-cluster test is returned; a read error of the data makes a
  // candidate fail.
  [[nodiscard]] Status Find(uint32_t start, uint64_t bytes, std::string_view extension, const UsableCluster& usable,
                            std::vector<uint32_t>* clusters, bool* found);
  const FragmentSearchStats& Stats() const { return m_stats; }

 private:
  enum class Outcome { kHolds, kBroken, kUntold };
  bool OutOfBounds();
  // A quick framing check then, when it passes, the full decode; *held: how far the decode held.
  Outcome Try(const std::vector<uint32_t>& clusters, uint64_t* held);
  Outcome Decode(const std::vector<uint32_t>& clusters, uint64_t* held);
  [[nodiscard]] Status EndsAsItsKind(uint64_t cluster, bool* ends);
  [[nodiscard]] Status Usable(uint64_t cluster, const std::unordered_set<uint32_t>& taken, bool* usable);
  // Candidate clusters: after `after` to the volume's end, then from the first data cluster on.
  [[nodiscard]] Status Candidates(uint64_t after, const std::vector<uint32_t>& taken, size_t most,
                                  const std::function<Status(uint64_t, bool*)>& accept, std::vector<uint32_t>* out);
  [[nodiscard]] Status TwoPieces(const std::vector<uint32_t>& firstRun, std::vector<uint32_t>* clusters, bool* found);
  [[nodiscard]] Status PieceByPiece(const std::vector<uint32_t>& plain, uint64_t plainHeld,
                                    std::vector<uint32_t>* clusters, bool* found);
  // From `from` on, the usable clusters not taken, until the file has all it needs.
  [[nodiscard]] Status FillFrom(uint64_t from, std::vector<uint32_t>* clusters);

  IClusterMap& m_map;
  FragmentBounds m_bounds;
  FragmentSearchStats m_stats;
  std::chrono::steady_clock::time_point m_deadline;
  const UsableCluster* m_usable = nullptr;
  uint64_t m_bytes = 0;
  uint64_t m_needed = 0;  // clusters
  std::string_view m_extension;
  bool m_stopped = false;
  uint32_t m_asked = 0;  // bounds looked at (the cancel is asked every 64th time)
};

}  // namespace engine::cluster
