// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/cluster/cluster_layout.h"

#include <algorithm>

#include "engine/cluster/fragment_search.h"
#include "engine/signatures/structure_check.h"

namespace engine::cluster {
namespace {

// How far past its start a file is searched for its clusters.
uint64_t SpanLimit(uint64_t clusters) {
  return clusters * 8 + 65536;
}

std::vector<uint32_t> RunOf(uint32_t start, uint64_t count) {
  std::vector<uint32_t> clusters;
  clusters.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) clusters.push_back(static_cast<uint32_t>(start + i));
  return clusters;
}

int32_t OwnerIn(const std::map<uint64_t, std::pair<uint64_t, int32_t>>& owned, uint64_t cluster) {
  auto it = owned.upper_bound(cluster);
  if (it == owned.begin()) return -1;
  --it;
  return cluster <= it->second.first ? it->second.second : -1;
}

}  // namespace

std::vector<store::DataExtent> ToRuns(const std::vector<uint32_t>& clusters) {
  std::vector<store::DataExtent> runs;
  for (uint32_t c : clusters) {
    if (!runs.empty() && runs.back().first + runs.back().count == c) {
      ++runs.back().count;
    } else {
      runs.push_back({c, 1});
    }
  }
  return runs;
}

Status ClusterLayout::IsFree(uint64_t cluster, bool* free) {
  *free = false;
  if (cluster < 2 || cluster > m_map.LastCluster() || m_directories->count(static_cast<uint32_t>(cluster)) != 0) {
    return kStatusOk;
  }
  bool allocated = true;
  if (Status s = m_map.IsAllocated(cluster, &allocated); s != kStatusOk) return s;
  *free = !allocated;
  return kStatusOk;
}

int32_t ClusterLayout::OwnerOf(uint64_t cluster) const {
  return OwnerIn(m_owned, cluster);
}

void ClusterLayout::Own(const std::vector<uint32_t>& clusters, int32_t owner) {
  for (const store::DataExtent& run : ToRuns(clusters)) m_owned[run.first] = {run.first + run.count - 1, owner};
}

uint64_t ClusterLayout::ClustersOf(const ClusterClaim& claim) const {
  const uint64_t clusterBytes = m_map.ClusterBytes();
  return (claim.bytes + clusterBytes - 1) / clusterBytes;
}

bool ClusterLayout::Doubtful(size_t index, const Plan& plan) const {
  if (plan.steppedOver || plan.clusters.empty()) return true;
  const uint32_t start = m_claims[index].start;
  // Another claim on the same start, or one starting later inside the run.
  auto at = m_starts.find(start);
  if (at != m_starts.end() && at->second != index) return true;
  auto next = m_starts.upper_bound(start);
  return next != m_starts.end() && next->first <= plan.clusters.back();
}

ClusterLayout::Verdict ClusterLayout::Check(const ClusterClaim& claim, const std::vector<uint32_t>& clusters,
                                            uint64_t* heldBytes, signatures::CheckDepth depth) {
  const uint64_t clusterBytes = m_map.ClusterBytes();
  std::vector<ByteRun> runs;
  for (const store::DataExtent& run : ToRuns(clusters)) {
    runs.push_back(ByteRun{m_map.ClusterOffset(run.first), run.count * clusterBytes});
  }
  bool unreadable = false;
  switch (signatures::CheckLaidOutStructure(m_map.Reader(), runs, claim.bytes, m_map.SectorBytes(), claim.extension,
                                            &unreadable, heldBytes, depth)) {
    case signatures::StructureVerdict::kConsistent: return Verdict::kConsistent;
    case signatures::StructureVerdict::kBroken: return Verdict::kBroken;
    case signatures::StructureVerdict::kNoCheck: break;
  }
  return unreadable ? Verdict::kUntold : Verdict::kNoCheck;
}

void ClusterLayout::Decide(size_t index, std::vector<uint32_t> clusters, ItemState state, bool confirmed) {
  Plan& plan = m_plans[index];
  plan.decided = true;
  plan.confirmed = confirmed;
  if (confirmed) Own(clusters, static_cast<int32_t>(index));
  m_layouts[index].runs = ToRuns(clusters);
  m_layouts[index].state = state;
}

Status ClusterLayout::PlaceContiguous(const std::vector<size_t>& indexes) {
  const uint64_t last = m_map.LastCluster();
  std::vector<size_t> clean;
  std::vector<Verdict> verdicts(m_claims.size(), Verdict::kNoCheck);
  for (size_t i : indexes) {
    const ClusterClaim& claim = m_claims[i];
    const uint64_t count = ClustersOf(claim);
    if (claim.start < 2 || uint64_t{claim.start} + count - 1 > last) {
      Decide(i, {}, ItemState::kDamaged, false);  // its data would lie outside the volume
      continue;
    }
    ItemState state = ItemState::kIntact;
    for (uint64_t c = claim.start; c < uint64_t{claim.start} + count && state != ItemState::kOverwritten; ++c) {
      bool allocated = false;
      if (Status s = m_map.IsAllocated(c, &allocated); s != kStatusOk) return s;
      if (allocated) {
        state = ItemState::kOverwritten;
      } else if (m_directories->count(static_cast<uint32_t>(c)) != 0) {
        state = ItemState::kDamaged;  // a deleted folder's directory was written there
      }
    }
    if (state != ItemState::kIntact) {
      Decide(i, RunOf(claim.start, count), state, false);
      continue;
    }
    verdicts[i] = Check(claim, RunOf(claim.start, count));
    clean.push_back(i);
  }
  // Of runs that overlap, the file written last overwrote the others, unless
  // only the others' structure holds there.
  std::sort(clean.begin(), clean.end(), [&](size_t a, size_t b) { return m_claims[a].start < m_claims[b].start; });
  for (size_t k = 0; k < clean.size();) {
    std::vector<size_t> group{clean[k]};
    uint64_t end = m_claims[clean[k]].start + ClustersOf(m_claims[clean[k]]);
    size_t next = k + 1;
    while (next < clean.size() && m_claims[clean[next]].start < end) {
      end = std::max(end, m_claims[clean[next]].start + ClustersOf(m_claims[clean[next]]));
      group.push_back(clean[next++]);
    }
    k = next;
    std::vector<size_t> whole;
    for (size_t i : group) {
      if (verdicts[i] != Verdict::kBroken) whole.push_back(i);
    }
    const std::vector<size_t>& pool = whole.empty() ? group : whole;
    size_t winner = pool[0];
    for (size_t i : pool) {
      if (m_claims[i].written > m_claims[winner].written) winner = i;
    }
    for (size_t i : group) {
      const ClusterClaim& claim = m_claims[i];
      const bool holds = i == winner && verdicts[i] != Verdict::kBroken;
      Decide(i, RunOf(claim.start, ClustersOf(claim)), holds ? ItemState::kIntact : ItemState::kDamaged, holds);
    }
  }
  return kStatusOk;
}

Status ClusterLayout::PlainLayout(size_t index, Plan* plan) {
  const ClusterClaim& claim = m_claims[index];
  const uint64_t needed = ClustersOf(claim);
  const uint64_t limit = SpanLimit(needed);
  plan->clusters.clear();
  plan->clusters.push_back(claim.start);
  plan->steppedOver = false;
  for (uint64_t c = uint64_t{claim.start} + 1; plan->clusters.size() < needed && c <= m_map.LastCluster(); ++c) {
    if (c - claim.start > limit) break;
    bool free = false;
    if (Status s = IsFree(c, &free); s != kStatusOk) return s;
    if (free) {
      plan->clusters.push_back(static_cast<uint32_t>(c));
    } else {
      plan->steppedOver = true;
    }
  }
  plan->complete = plan->clusters.size() == needed;
  return kStatusOk;
}

Status ClusterLayout::SkipLayout(size_t index, Avoid avoid, std::vector<uint32_t>* out) {
  const ClusterClaim& claim = m_claims[index];
  const uint64_t needed = ClustersOf(claim);
  const uint64_t limit = SpanLimit(needed);
  out->clear();
  out->push_back(claim.start);
  for (uint64_t c = uint64_t{claim.start} + 1; out->size() < needed && c <= m_map.LastCluster(); ++c) {
    if (c - claim.start > limit) break;
    bool free = false;
    if (Status s = IsFree(c, &free); s != kStatusOk) return s;
    if (!free || OwnerOf(c) != -1) continue;
    if (avoid == Avoid::kTentativeAndStarts) {
      const int32_t tentative = OwnerIn(m_tentative, c);
      if (tentative != -1 && tentative != static_cast<int32_t>(index)) continue;
    }
    if (avoid != Avoid::kOwnedOnly) {
      auto start = m_starts.find(static_cast<uint32_t>(c));
      if (start != m_starts.end() && start->second != index) continue;
    }
    out->push_back(static_cast<uint32_t>(c));
  }
  if (out->size() != needed) out->clear();
  return kStatusOk;
}

Status ClusterLayout::GroupLayouts(size_t index, const std::vector<size_t>& order, std::vector<size_t>* members,
                                   std::vector<std::vector<uint32_t>>* layouts) {
  members->clear();
  layouts->clear();
  const ClusterClaim& first = m_claims[index];
  const uint64_t end = uint64_t{first.start} + ClustersOf(first);
  members->push_back(index);
  for (size_t j : order) {
    const ClusterClaim& other = m_claims[j];
    if (j == index || m_plans[j].decided || other.start <= first.start || other.start >= end) continue;
    if (other.start != m_claims[members->back()].start) members->push_back(j);
  }
  if (members->size() < 2) {
    members->clear();
    return kStatusOk;
  }
  const uint64_t step = m_claims[(*members)[1]].start - first.start;
  for (size_t k = 2; k < members->size(); ++k) {
    if (m_claims[(*members)[k]].start - m_claims[(*members)[k - 1]].start != step) {
      members->clear();
      return kStatusOk;
    }
  }
  // Deal free clusters out chunk by chunk, in turn, to the files not yet whole.
  std::vector<uint64_t> remaining;
  uint64_t total = 0;
  for (size_t m : *members) {
    remaining.push_back(ClustersOf(m_claims[m]));
    total += remaining.back();
  }
  layouts->assign(members->size(), {});
  const uint64_t limit = SpanLimit(total);
  uint64_t cursor = first.start;
  uint64_t dealt = 0;
  bool ranOut = false;
  while (dealt < total && !ranOut) {
    bool progress = false;
    for (size_t k = 0; k < members->size() && !ranOut; ++k) {
      for (uint64_t taken = 0; taken < step && remaining[k] > 0;) {
        if (cursor > m_map.LastCluster() || cursor - first.start > limit) {
          ranOut = true;
          break;
        }
        bool free = false;
        if (Status s = IsFree(cursor, &free); s != kStatusOk) return s;
        if (free && OwnerOf(cursor) == -1) {
          (*layouts)[k].push_back(static_cast<uint32_t>(cursor));
          ++taken;
          --remaining[k];
          ++dealt;
          progress = true;
        }
        ++cursor;
      }
    }
    if (!progress) break;
  }
  for (size_t k = 0; k < members->size(); ++k) {
    std::vector<uint32_t>& c = (*layouts)[k];
    // Each file's first chunk must begin at its own start for the turns to be right.
    if (remaining[k] != 0 || c.empty() || c.front() != m_claims[(*members)[k]].start) c.clear();
  }
  return kStatusOk;
}

Status ClusterLayout::TryAlternatives(size_t index, const std::vector<size_t>& order) {
  const Plan& plan = m_plans[index];
  std::vector<uint32_t> skip;
  std::vector<uint32_t> previous;
  // From the most careful to the plainest; only a layout the structure confirms is taken.
  for (Avoid avoid : {Avoid::kTentativeAndStarts, Avoid::kStarts, Avoid::kOwnedOnly}) {
    if (Status s = SkipLayout(index, avoid, &skip); s != kStatusOk) return s;
    if (skip.empty() || skip == plan.clusters || skip == previous) continue;
    previous = skip;
    if (Check(m_claims[index], skip) == Verdict::kConsistent) {
      // A walk of boxes proves no order of pieces: the layout is kept as the
      // best guess, damaged, and holds no cluster against other files.
      const bool proven = !signatures::ChecksBoxesOnly(m_claims[index].extension);
      Decide(index, std::move(skip), proven ? ItemState::kIntact : ItemState::kDamaged, proven);
      return kStatusOk;
    }
  }
  std::vector<size_t> members;
  std::vector<std::vector<uint32_t>> group;
  if (Status s = GroupLayouts(index, order, &members, &group); s != kStatusOk) return s;
  if (members.empty() || group[0].empty()) return kStatusOk;
  // The group's layout holds when the members that can tell say so and none says otherwise.
  std::vector<Verdict> verdicts(members.size(), Verdict::kBroken);
  bool confirmed = false;
  for (size_t k = 0; k < members.size(); ++k) {
    if (group[k].empty()) continue;
    verdicts[k] = Check(m_claims[members[k]], group[k]);
    confirmed = confirmed || verdicts[k] == Verdict::kConsistent;
  }
  if (!confirmed || verdicts[0] == Verdict::kBroken) return kStatusOk;
  for (size_t k = 0; k < members.size(); ++k) {
    if (group[k].empty() || verdicts[k] == Verdict::kBroken) continue;  // judged on its own turn
    Decide(members[k], std::move(group[k]), ItemState::kIntact, true);
  }
  return kStatusOk;
}

Status ClusterLayout::SearchPieces(size_t index) {
  const ClusterClaim& claim = m_claims[index];
  if (!CanReassemble(claim.extension)) return kStatusOk;
  // Free clusters no confirmed file holds. Another deleted file's start or
  // plain layout is no bar: files written later take the clusters of files
  // deleted before, and the decode of the whole file is the proof.
  const UsableCluster usable = [&](uint64_t cluster, bool* ok) -> Status {
    *ok = false;
    bool free = false;
    if (Status s = IsFree(cluster, &free); s != kStatusOk || !free) return s;
    *ok = OwnerOf(cluster) == -1;
    return kStatusOk;
  };
  // All searches of a volume share one budget: past it, files stay as they are.
  std::chrono::microseconds spent{0};
  for (const FragmentSearchStats& done : m_searches) spent += done.spent;
  if (spent >= m_fragmentBounds.volumeBudget) {
    FragmentSearchStats skipped;
    skipped.boundReached = true;
    m_searches.push_back(skipped);
    return kStatusOk;
  }
  FragmentSearch search(m_map, m_fragmentBounds);
  std::vector<uint32_t> clusters;
  bool found = false;
  const Status s = search.Find(claim.start, claim.bytes, claim.extension, usable, &clusters, &found);
  m_searches.push_back(search.Stats());
  if (s != kStatusOk || !found) return s;
  m_layouts[index].reassembled = ToRuns(clusters).size() > 1;
  Decide(index, std::move(clusters), ItemState::kIntact, true);
  return kStatusOk;
}

void ClusterLayout::NoteVerifiedHeads(const std::vector<size_t>& order) {
  // A decoder notices foreign bytes some way after they begin: the last
  // stretch before the point it broke at is not counted as the file's.
  const uint64_t clusterBytes = m_map.ClusterBytes();
  const uint64_t margin = std::max<uint64_t>(clusterBytes, 4096);
  for (size_t i : order) {
    const Plan& plan = m_plans[i];
    // A file whose layout was confirmed otherwise: its plain layout's head is no evidence.
    if (plan.confirmed || plan.verdict != Verdict::kBroken || plan.heldBytes <= margin) continue;
    const uint64_t whole = std::min<uint64_t>((plan.heldBytes - margin) / clusterBytes, plan.clusters.size());
    const std::vector<uint32_t> head(plan.clusters.begin(), plan.clusters.begin() + static_cast<std::ptrdiff_t>(whole));
    for (const store::DataExtent& run : ToRuns(head)) {
      m_verified[run.first] = {run.first + run.count - 1, static_cast<int32_t>(i)};
    }
  }
}

Status ClusterLayout::Compute(std::vector<ClusterClaim> claims, const std::unordered_set<uint32_t>& directories,
                              std::vector<ClaimLayout>* out) {
  out->clear();
  m_directories = &directories;
  m_owned.clear();
  m_tentative.clear();
  m_verified.clear();
  m_searches.clear();
  m_starts.clear();
  m_claims.clear();
  for (ClusterClaim& c : claims) {
    if (c.bytes != 0) m_claims.push_back(std::move(c));
  }
  m_plans.assign(m_claims.size(), Plan{});
  m_layouts.assign(m_claims.size(), ClaimLayout{});
  const uint64_t last = m_map.LastCluster();

  // A start outside the data clusters holds nothing of the file; a start the
  // live file system holds now holds another file's data.
  std::vector<size_t> contiguous;
  std::vector<size_t> order;
  for (size_t i = 0; i < m_claims.size(); ++i) {
    const ClusterClaim& claim = m_claims[i];
    m_layouts[i].id = claim.id;
    if (claim.start < 2 || claim.start > last) {
      Decide(i, {}, ItemState::kDamaged, false);
      continue;
    }
    if (claim.contiguous) {
      contiguous.push_back(i);
      continue;
    }
    bool allocated = false;
    if (Status s = m_map.IsAllocated(claim.start, &allocated); s != kStatusOk) return s;
    if (allocated) {
      const uint64_t count = std::min<uint64_t>(ClustersOf(claim), last - claim.start + 1);
      Decide(i, RunOf(claim.start, count), ItemState::kOverwritten, false);
      continue;
    }
    order.push_back(i);
  }
  if (Status s = PlaceContiguous(contiguous); s != kStatusOk) return s;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return m_claims[a].start != m_claims[b].start ? m_claims[a].start < m_claims[b].start
                                                  : m_claims[a].id < m_claims[b].id;
  });
  for (size_t i : order) m_starts.emplace(m_claims[i].start, i);

  // Chains the table kept, whole and on free clusters no one else holds.
  for (size_t i : order) {
    std::vector<uint32_t> chain;
    bool complete = false;
    if (Status s = m_map.KeptChain(m_claims[i].start, ClustersOf(m_claims[i]), &chain, &complete); s != kStatusOk) {
      return s;
    }
    if (!complete) continue;
    bool clean = true;
    for (uint32_t c : chain) {
      bool free = false;
      if (Status s = IsFree(c, &free); s != kStatusOk) return s;
      auto start = m_starts.find(c);
      clean = clean && free && OwnerOf(c) == -1 && (start == m_starts.end() || start->second == i);
      if (!clean) break;
    }
    if (!clean) continue;
    const Verdict verdict = Check(m_claims[i], chain);
    if (verdict != Verdict::kBroken) Decide(i, std::move(chain), ItemState::kIntact, true);
  }

  // The plain layout first: kept when the file's structure confirms it.
  for (size_t i : order) {
    if (m_plans[i].decided) continue;
    Plan& plan = m_plans[i];
    if (Status s = PlainLayout(i, &plan); s != kStatusOk) return s;
    if (!plan.complete) {
      plan.verdict = Verdict::kBroken;
    } else {
      // Framing first; a decode through the whole data where doubt is cast, or where the framing broke
      // (the decoder tells how far the data held).
      plan.verdict = Check(m_claims[i], plan.clusters, nullptr, signatures::CheckDepth::kQuick);
      if (plan.verdict == Verdict::kBroken || (plan.verdict == Verdict::kConsistent && Doubtful(i, plan))) {
        plan.verdict = Check(m_claims[i], plan.clusters, &plan.heldBytes);
      }
    }
    if (plan.verdict == Verdict::kConsistent) {
      Decide(i, plan.clusters, ItemState::kIntact, true);
    } else if (plan.verdict == Verdict::kNoCheck && !plan.steppedOver) {
      for (const store::DataExtent& run : ToRuns(plan.clusters)) {
        m_tentative[run.first] = {run.first + run.count - 1, static_cast<int32_t>(i)};
      }
    }
  }
  // Alternatives for the files whose plain layout does not hold.
  for (size_t i : order) {
    const Plan& plan = m_plans[i];
    const bool keptPlain = plan.complete && plan.verdict == Verdict::kNoCheck && !plan.steppedOver;
    if (!plan.decided && !keptPlain) {
      if (Status s = TryAlternatives(i, order); s != kStatusOk) return s;
    }
  }
  // Files in pieces: searched once every layout that holds is known, and
  // again while a search finds one (its clusters are then no one else's).
  bool foundMore = m_searchFragments;
  for (int round = 0; round < 3 && foundMore; ++round) {
    foundMore = false;
    for (size_t i : order) {
      const Plan& plan = m_plans[i];
      const bool keptPlain = plan.complete && plan.verdict == Verdict::kNoCheck && !plan.steppedOver;
      if (plan.decided || keptPlain) continue;
      if (Status s = SearchPieces(i); s != kStatusOk) return s;
      foundMore = foundMore || m_plans[i].decided;
    }
  }
  NoteVerifiedHeads(order);
  // A kind without a check keeps its plain layout unless a confirmed layout
  // holds one of its clusters, or a file written later starts where it does,
  // or another file's data was seen to go on over one of its clusters.
  std::map<uint32_t, uint64_t> latestAt;  // start → the latest write of a file starting there
  for (size_t i : order) {
    uint64_t& latest = latestAt[m_claims[i].start];
    latest = std::max(latest, m_claims[i].written);
  }
  for (size_t i : order) {
    const Plan& plan = m_plans[i];
    if (plan.decided) continue;
    const bool keptPlain = plan.complete && plan.verdict == Verdict::kNoCheck && !plan.steppedOver;
    bool contradicted = !keptPlain || latestAt[m_claims[i].start] > m_claims[i].written;
    for (size_t k = 0; k < plan.clusters.size() && !contradicted; ++k) {
      const int32_t head = OwnerIn(m_verified, plan.clusters[k]);
      contradicted = OwnerOf(plan.clusters[k]) != -1 || (head != -1 && head != static_cast<int32_t>(i));
    }
    Decide(i, plan.clusters, contradicted ? ItemState::kDamaged : ItemState::kIntact, false);
  }
  *out = std::move(m_layouts);
  m_layouts.clear();
  return kStatusOk;
}

Status ApplyClaimLayouts(store::ScanStore& store, const std::vector<ClaimLayout>& layouts,
                         const std::function<void(const ClaimLayout&)>& keepRuns) {
  for (const ClaimLayout& layout : layouts) {
    if (layout.state != ItemState::kIntact) {
      ItemRecord record;
      if (Status s = store.ReadRecord(layout.id, &record); s != kStatusOk) return s;
      const ItemState state = WorseState(StateOf(record), layout.state);
      if (state != StateOf(record)) {
        SetState(record, state);
        if (Status s = store.UpdateRecord(record); s != kStatusOk) return s;
      }
    }
    keepRuns(layout);
  }
  return kStatusOk;
}

}  // namespace engine::cluster
