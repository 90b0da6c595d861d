// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fat/fat_continuation.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/fat/fat_names.h"
#include "engine/fat_dir_entry.h"

namespace engine::fat {
namespace {

using namespace fat_entry;

// Numbering that grows by more than this between two neighbouring entries
// is no evidence.
constexpr uint64_t kMaxNumberStep = 8;
// Digit groups longer than this are not numbers a writer counts with.
constexpr size_t kMaxDigits = 18;

bool BeginsWithDotPair(ByteView unit) {
  return unit.Has(0, 2 * kBytes) && unit.U8(0) == '.' && unit.U8(1) == ' ' && (unit.U8(kAttribute) & kDirectory) != 0 &&
         unit.U8(kBytes) == '.' && unit.U8(kBytes + 1) == '.';
}

bool DigitGroups(const std::string& name, std::vector<uint64_t>* groups) {
  groups->clear();
  for (size_t i = 0; i < name.size();) {
    if (name[i] < '0' || name[i] > '9') {
      ++i;
      continue;
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i, ++digits) {
      if (digits < kMaxDigits) value = value * 10 + static_cast<uint64_t>(name[i] - '0');
    }
    if (digits > kMaxDigits) return false;
    groups->push_back(value);
  }
  return !groups->empty();
}

// The short entry's own checksum; a deleted entry's lost first byte is taken
// from the first character of its long name (the alias begins with it).
bool ShortChecksumOf(const uint8_t* name11, char firstOfLongName, uint8_t* checksum) {
  std::array<uint8_t, 11> name{};
  std::memcpy(name.data(), name11, name.size());
  if (name[0] == kDeletedMark) {
    const char c = firstOfLongName;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !(c >= '0' && c <= '9')) return false;
    name[0] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  *checksum = ShortNameChecksum(name.data());
  return true;
}

uint32_t CreatedStamp(ByteView entry) {
  return (static_cast<uint32_t>(entry.U16(kCreateDate)) << 16) | entry.U16(kCreateTime);
}

}  // namespace

bool NameContinuesNumbering(const std::string& a, const std::string& b) {
  std::vector<uint64_t> first;
  std::vector<uint64_t> second;
  if (!DigitGroups(a, &first) || !DigitGroups(b, &second) || first.size() != second.size()) return false;
  size_t differing = 0;
  bool grows = false;
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i] == second[i]) continue;
    ++differing;
    grows = second[i] > first[i] && second[i] - first[i] <= kMaxNumberStep;
  }
  return differing == 1 && grows;
}

namespace {

// One name of a run of entries: its long-name entries (if any) and its short entry.
struct NamedEntry {
  size_t longEntries = 0;
  bool oneChecksum = true;
  uint8_t checksum = 0;  // of the long-name entries
  const uint8_t* shortEntry = nullptr;
  std::string longName;  // as gathered; whole only when the set is
};

// Reads the name that begins at entry *at of head; false at the end of the
// entries, an end mark or a long name too long for the format.
bool NextNamed(ByteView head, size_t* at, NamedEntry* out) {
  const size_t entries = head.size() / kBytes;
  *out = NamedEntry();
  LongNameBuffer name;
  size_t i = *at;
  if (i < entries) out->checksum = head.U8(i * kBytes + kLongNameChecksum);
  for (; i < entries && head.U8(i * kBytes + kAttribute) == kLongName; ++i) {
    out->oneChecksum = out->oneChecksum && head.U8(i * kBytes + kLongNameChecksum) == out->checksum;
    if (!name.Prepend(head.data() + i * kBytes)) return false;
    ++out->longEntries;
  }
  if (i >= entries || head.U8(i * kBytes) == 0) return false;
  out->shortEntry = head.data() + i * kBytes;
  if (out->longEntries != 0) out->longName = name.ToUtf8();
  *at = i + 1;
  return true;
}

// The whole name of an entry read by NextNamed: its long name when the set's
// checksum is the short entry's own, else its short name.
std::string WholeName(const NamedEntry& e) {
  if (e.longEntries != 0 && e.oneChecksum && !e.longName.empty()) {
    uint8_t own = 0;
    if (ShortChecksumOf(e.shortEntry, e.longName[0], &own) && own == e.checksum) return e.longName;
  }
  return ShortEntryName(e.shortEntry);
}

}  // namespace

ClusterHead ReadClusterHead(ByteView head) {
  ClusterHead out;
  size_t at = 0;
  NamedEntry first;
  if (!NextNamed(head, &at, &first)) return out;
  out.named = true;
  out.longEntries = first.longEntries;
  out.oneChecksum = first.oneChecksum;
  out.checksum = first.checksum;
  std::memcpy(out.shortName.data(), first.shortEntry, out.shortName.size());
  out.created = CreatedStamp(ByteView(first.shortEntry, kBytes));
  out.longName = first.longName;
  out.firstWhole = WholeName(first);
  NamedEntry second;
  if (NextNamed(head, &at, &second)) out.secondWhole = WholeName(second);
  return out;
}

EdgeVerdict JudgeContinuation(const DirectoryEdge& edge, const ClusterHead& head) {
  if (!head.named) return EdgeVerdict::kSilent;
  if (edge.lastCreated != 0 && head.created != 0 && head.created < edge.lastCreated) return EdgeVerdict::kContradicts;

  // The last whole name before the edge and the first after it.
  const std::string* before = &edge.lastName;
  std::string joined;
  const std::string* after = &head.firstWhole;
  bool checksumFits = false;
  if (edge.longNamePending) {
    if (head.longEntries != 0) {
      // The set goes on: its first characters are here, its last ones were there.
      if (!head.oneChecksum || head.checksum != edge.longNameChecksum) return EdgeVerdict::kContradicts;
      checksumFits = true;
      joined = head.longName + edge.pendingName;
      after = &joined;
    } else {
      // Aliases need not begin with the long name's first character (some
      // systems number them): a checksum that differs tells nothing.
      uint8_t own = 0;
      checksumFits = ShortChecksumOf(head.shortName.data(), edge.pendingFirst, &own) && own == edge.longNameChecksum;
      // The pending name closes here; the next name shows the numbering.
      before = &edge.pendingName;
      after = &head.secondWhole;
    }
  }
  if (!after->empty() && NameContinuesNumbering(*before, *after)) return EdgeVerdict::kSupports;
  return checksumFits ? EdgeVerdict::kFits : EdgeVerdict::kSilent;
}

EdgeVerdict JudgeContinuation(const DirectoryEdge& edge, ByteView head) {
  return JudgeContinuation(edge, ReadClusterHead(head));
}

ContinuationCandidates::ContinuationCandidates(VolumeReader& reader, FatTable& fat) : m_reader(reader), m_fat(fat) {}

uint32_t ContinuationCandidates::LastOfWindow(uint32_t cluster) const {
  const FatGeometry& g = m_fat.Geometry();
  const uint64_t window = std::clamp<uint64_t>(kWindowBytes / std::max<uint64_t>(g.ClusterBytes(), 1), 1, kWindowClusters);
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{cluster} + window, g.maxCluster));
}

Status ContinuationCandidates::Find(uint32_t cluster, std::vector<uint32_t>* out) {
  out->clear();
  const FatGeometry& g = m_fat.Geometry();
  if (g.ClusterBytes() == 0 || cluster >= g.maxCluster) return kStatusOk;
  const uint32_t first = cluster + 1;
  const uint32_t last = LastOfWindow(cluster);
  const Status s = Classify(first, last);
  for (auto it = m_heads.lower_bound(first); it != m_heads.end() && it->first <= last; ++it) out->push_back(it->first);
  return s;
}

bool ContinuationCandidates::AnyLeftAfter(uint32_t cluster) const {
  auto it = m_heads.upper_bound(cluster);
  return it != m_heads.end() && it->first <= LastOfWindow(cluster);
}

const ClusterHead* ContinuationCandidates::Head(uint32_t cluster) const {
  auto it = m_heads.find(cluster);
  return it == m_heads.end() ? nullptr : &it->second;
}

Status ContinuationCandidates::Classify(uint32_t first, uint32_t last) {
  // Only the parts of [first, last] no earlier window covered are read.
  uint32_t at = first;
  while (at <= last) {
    auto covering = m_classified.upper_bound(at);
    if (covering != m_classified.begin()) {
      auto before = std::prev(covering);
      if (before->second >= at) {
        if (before->second >= last) return kStatusOk;
        at = before->second + 1;
        continue;
      }
    }
    const uint32_t end = covering != m_classified.end() ? std::min(last, covering->first - 1) : last;
    m_classified[at] = end;
    if (Status s = ClassifyRun(at, end - at + 1); s != kStatusOk) return s;
    if (end == last) return kStatusOk;
    at = end + 1;
  }
  return kStatusOk;
}

Status ContinuationCandidates::ClassifyRun(uint32_t first, uint32_t count) {
  const FatGeometry& g = m_fat.Geometry();
  const uint64_t clusterBytes = g.ClusterBytes();
  const uint64_t perPiece = std::max<uint64_t>(kPieceBytes / clusterBytes, 1);
  uint32_t k = first;
  const uint64_t end = uint64_t{first} + count;
  while (k < end && !m_full) {
    // The next run of free clusters, at most one piece long, is read at once.
    uint32_t value = 0;
    if (Status s = m_fat.Entry(k, &value); s != kStatusOk) return s;
    if (value != 0) {
      ++k;
      continue;
    }
    uint32_t run = 1;
    while (k + run < end && run < perPiece) {
      if (Status s = m_fat.Entry(k + run, &value); s != kStatusOk) return s;
      if (value != 0) break;
      ++run;
    }
    m_piece.resize(static_cast<size_t>(run * clusterBytes));
    ++m_readCalls;
    if (Status s = m_reader.Read(g.ClusterSector(k) * g.bytesPerSector, m_piece.data(), m_piece.size());
        s != kStatusOk) {
      return s;
    }
    for (uint32_t c = 0; c < run && !m_full; ++c) {
      const uint8_t* bytes = m_piece.data() + c * clusterBytes;
      const ByteView unit(bytes, static_cast<size_t>(clusterBytes));
      if (BeginsWithDotPair(unit) || !IsDirectorySector(bytes, static_cast<size_t>(clusterBytes))) continue;
      m_heads.emplace(k + c, ReadClusterHead(unit));
      m_full = m_heads.size() >= kMaxKept;
    }
    k += run;
  }
  return kStatusOk;
}

}  // namespace engine::fat
