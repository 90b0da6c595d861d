// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/cluster/fragment_bounds.h"
#include "engine/item_record.h"
#include "engine/signatures/laid_out_check.h"
#include "engine/status.h"
#include "engine/store/layout_table.h"
#include "engine/store/scan_store.h"

namespace engine::cluster {

// The clusters of a FAT or exFAT volume as the layout of deleted files sees
// them. Data clusters are numbered 2..LastCluster(). One thread at a time.
class IClusterMap {
 public:
  virtual ~IClusterMap() = default;
  virtual uint64_t ClusterBytes() const = 0;
  // The unit the structure checks read in (the volume's bytes per sector).
  virtual uint32_t SectorBytes() const = 0;
  virtual uint64_t LastCluster() const = 0;
  // Whether the live file system holds cluster now (its table or bitmap);
  // an error reading the table is returned.
  [[nodiscard]] virtual Status IsAllocated(uint64_t cluster, bool* allocated) = 0;
  // Where cluster's first byte lies, in the terms of Reader().
  virtual uint64_t ClusterOffset(uint64_t cluster) const = 0;
  virtual const signatures::ByteReader& Reader() const = 0;
  // The chain a table still holds for a deleted file from start, when the
  // file system leaves chains in place on a delete (exFAT does): up to
  // `clusters` clusters; *complete when it holds that many and ends there.
  [[nodiscard]] virtual Status KeptChain(uint32_t start, uint64_t clusters, std::vector<uint32_t>* chain,
                                         bool* complete) {
    chain->clear();
    *complete = false;
    (void)start;
    (void)clusters;
    return kStatusOk;
  }
};

// A deleted file as its directory entry describes it.
struct ClusterClaim {
  int32_t id = 0;           // its record in the store
  uint32_t start = 0;       // first cluster
  uint64_t bytes = 0;       // bytes to read from the medium (exFAT: the valid length)
  bool contiguous = false;  // the entry says its clusters followed one another (exFAT NoFatChain)
  uint64_t written = 0;     // FILETIME of its last write; of two files on one cluster the later overwrote
  std::string extension;
};

// Where a deleted file's data is taken from, and what it is worth.
struct ClaimLayout {
  int32_t id = 0;
  std::vector<store::DataExtent> runs;  // clusters in file order; empty: no cluster of the volume holds it
  ItemState state = ItemState::kIntact;
  bool reassembled = false;  // put together from pieces found by their decode (a search of the free clusters)
};

// Lays out the deleted files of a FAT or exFAT volume.
//
// A deleted file's directory entry tells where its data began and how long
// it was; the chain that linked its clusters is gone (FAT) or may be stale
// (exFAT). Its claim on the clusters after its start is weak evidence: they
// are free, and files written after it may hold them.
//
// 1. A file whose start cluster the live file system holds (or, for a file
//    recorded as contiguous, any cluster of its run) was overwritten.
// 2. A file recorded as contiguous lies in its run; of such runs that
//    overlap, the later written overwrote the others (which are damaged),
//    unless only the earlier one's structure holds.
// 3. A chain the table kept is taken when it has the file's length, lies on
//    free clusters and the file's structure does not contradict it.
// 4. The plain layout, from the start onward over free clusters (clusters the
//    live file system holds, and directories, are stepped over), is tried
//    first and kept when the file's structure check passes, or when its kind
//    has none, nothing was stepped over, and no other file's confirmed layout
//    holds one of its clusters (of two such files on one start, the later
//    written keeps it), nor the head of another file's plain layout whose
//    structure held over it before breaking further on.
// 5. For the others, alternatives: the start then the free clusters no
//    confirmed file holds and no other file starts at, and the round-robin
//    layout of files written in turns (a camera writing several at once),
//    confirmed by a member's structure. A layout that steps over clusters
//    and only a walk of boxes confirms (ISO media: no decode proves the
//    order of its pieces) is kept as the best guess, damaged.
// 6. When asked (SearchFragments), a file whose kind is decoded through all
//    its data and for which nothing above holds is searched for in pieces
//    among the free clusters no confirmed file holds (FragmentSearch);
//    what its full decode confirms is taken,
//    marked reassembled. A file with no layout that holds is kept in its
//    plain layout and is damaged: it is never left out.
//
// Memory: the claims, the directory clusters and a few runs per file. Reads:
// the table, and the data of the files whose layout is checked. The map must
// outlive this. One thread at a time.
class ClusterLayout {
 public:
  explicit ClusterLayout(IClusterMap& map) : m_map(map) {}

  // One layout per claim of a file with bytes, in claim order; a table read
  // error is returned.
  [[nodiscard]] Status Compute(std::vector<ClusterClaim> claims, const std::unordered_set<uint32_t>& directories,
                               std::vector<ClaimLayout>* out);
  // Search for the pieces of files no layout holds for, within bounds (deep scans).
  void SearchFragments(FragmentBounds bounds) {
    m_fragmentBounds = std::move(bounds);
    m_searchFragments = true;
  }
  // The same when an engine was asked to search (bounds set); cancelled
  // stops the search where the bounds bring no cancel of their own.
  void SearchFragmentsIfAsked(const std::optional<FragmentBounds>& bounds, std::function<bool()> cancelled) {
    if (!bounds) return;
    FragmentBounds b = *bounds;
    if (!b.cancelled) b.cancelled = std::move(cancelled);
    SearchFragments(std::move(b));
  }
  // What each search of the last Compute cost, one entry per file searched.
  const std::vector<FragmentSearchStats>& FragmentSearches() const { return m_searches; }

 private:
  // kUntold: the kind has a check, but a read failed: neither confirmed nor broken.
  enum class Verdict { kConsistent, kBroken, kNoCheck, kUntold };
  struct Plan {
    std::vector<uint32_t> clusters;  // the plain layout
    bool complete = false;           // holds the file's clusters
    bool steppedOver = false;        // clusters were stepped over
    Verdict verdict = Verdict::kNoCheck;
    uint64_t heldBytes = 0;  // broken: how many of its first bytes its structure held
    bool decided = false;
    bool confirmed = false;  // its layout is what its own structure (or its group's) confirms
  };

  [[nodiscard]] Status IsFree(uint64_t cluster, bool* free);
  int32_t OwnerOf(uint64_t cluster) const;
  void Own(const std::vector<uint32_t>& clusters, int32_t owner);
  uint64_t ClustersOf(const ClusterClaim& claim) const;
  Verdict Check(const ClusterClaim& claim, const std::vector<uint32_t>& clusters, uint64_t* heldBytes = nullptr,
                signatures::CheckDepth depth = signatures::CheckDepth::kFull);
  // A plain layout something casts doubt on: clusters were stepped over, or
  // another file starts inside it. Others are checked by their framing alone.
  bool Doubtful(size_t index, const Plan& plan) const;
  // The clusters at the head of broken plain layouts whose structure held
  // there: they carry that file's data, whoever else claims them.
  void NoteVerifiedHeads(const std::vector<size_t>& order);
  void Decide(size_t index, std::vector<uint32_t> clusters, ItemState state, bool confirmed);

  [[nodiscard]] Status PlaceContiguous(const std::vector<size_t>& indexes);
  [[nodiscard]] Status PlainLayout(size_t index, Plan* plan);
  // The start, then free clusters no confirmed file owns, and (as asked) no
  // plain layout still kept and no other file's start.
  enum class Avoid { kTentativeAndStarts, kStarts, kOwnedOnly };
  [[nodiscard]] Status SkipLayout(size_t index, Avoid avoid, std::vector<uint32_t>* out);
  // Round-robin layouts of the group that starts with claim `index`; members
  // empty when the claims that start inside its run are not evenly spaced.
  [[nodiscard]] Status GroupLayouts(size_t index, const std::vector<size_t>& order, std::vector<size_t>* members,
                                    std::vector<std::vector<uint32_t>>* layouts);
  [[nodiscard]] Status TryAlternatives(size_t index, const std::vector<size_t>& order);
  [[nodiscard]] Status SearchPieces(size_t index);

  IClusterMap& m_map;
  std::vector<ClusterClaim> m_claims;
  std::vector<Plan> m_plans;
  std::vector<ClaimLayout> m_layouts;
  const std::unordered_set<uint32_t>* m_directories = nullptr;
  std::map<uint32_t, size_t> m_starts;                           // start cluster → first claim there
  std::map<uint64_t, std::pair<uint64_t, int32_t>> m_owned;      // first → (last, claim) of confirmed layouts
  std::map<uint64_t, std::pair<uint64_t, int32_t>> m_tentative;  // the same for plain layouts not yet decided
  std::map<uint64_t, std::pair<uint64_t, int32_t>> m_verified;   // heads of broken layouts that held
  bool m_searchFragments = false;
  FragmentBounds m_fragmentBounds;
  std::vector<FragmentSearchStats> m_searches;
};

// Keeps what a layout learnt in the store: each record whose state the
// layout makes worse is rewritten with it (a state the walk already gave,
// such as a first cluster that does not begin as the extension promises,
// stays when it is worse), and keepRuns is called for every layout so that
// the engine keeps its runs as it copies from them. A store error is returned.
[[nodiscard]] Status ApplyClaimLayouts(store::ScanStore& store, const std::vector<ClaimLayout>& layouts,
                                       const std::function<void(const ClaimLayout&)>& keepRuns);

// Runs of adjacent clusters, in order.
std::vector<store::DataExtent> ToRuns(const std::vector<uint32_t>& clusters);

}  // namespace engine::cluster
